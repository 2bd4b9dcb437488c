// Writes the history window with a few hosts and outages to the PNG file named by the first argument, for
// docs/history.png: xvfb-run env QT_QPA_PLATFORM=xcb build/tests/history_screenshot docs/history.png
#include <QApplication>
#include <QHeaderView>
#include <QPixmap>
#include <QTableView>
#include <QTest>

#include "history/ui/history_window.h"
#include "tests/history_ui/fake_history.h"
#include "text/gbk.h"

int main(int argc, char** argv) {
    using namespace std::chrono_literals;
    using history::Outcome;
    QApplication app(argc, argv);
    if (argc < 2) return 2;
    auto data = std::make_shared<FakeHistory>();
    const history::TimePoint now = history::Clock::now();
    auto timeline = [](std::initializer_list<std::pair<Outcome, int>> runs) {
        std::vector<Outcome> states;
        for (auto [outcome, count] : runs)
            states.insert(states.end(), static_cast<std::size_t>(count), outcome);
        return states;
    };
    const std::string a = gbk::FromUtf8("中心-A");
    const std::string b = gbk::FromUtf8("中心-B");
    const std::string c = gbk::FromUtf8("分站-沈阳");
    const std::string d = gbk::FromUtf8("分站-大连");
    data->hosts = {
        {a, "http://192.0.2.10:89/Interface/tarv/tarvAction_appreg.action", 1440, 97.9, 2, 25min,
         timeline({{Outcome::Normal, 40},
                   {Outcome::ServerFault, 2},
                   {Outcome::Normal, 50},
                   {Outcome::ServerFault, 4}})},
        {b, "http://192.0.2.11:89/Interface/tarv/tarvAction_appreg.action", 1440, 100, 0, 0s,
         timeline({{Outcome::Normal, 96}})},
        {c, "http://192.0.2.20:89/Interface/tarv/tarvAction_appreg.action", 1390, 91.2, 1, 2h,
         timeline(
             {{Outcome::NoData, 3}, {Outcome::Normal, 60}, {Outcome::Connection, 8}, {Outcome::Normal, 25}})},
        {d, "http://192.0.2.21:89/Interface/tarv/tarvAction_appreg.action", 1440, 98.6, 3, 10min,
         timeline({{Outcome::Normal, 20},
                   {Outcome::DiskSpace, 1},
                   {Outcome::Normal, 30},
                   {Outcome::DbLog, 1},
                   {Outcome::Normal, 40},
                   {Outcome::DiskSpace, 1},
                   {Outcome::Normal, 3}})},
    };
    data->outages = {
        {a, data->hosts[0].url, now - 55min, std::nullopt, "", Outcome::ServerFault,
         gbk::FromUtf8("004 <2026-01-02 19:05:00> ------ 中心-A Quarlex服务器 异常 ------")},
        {a, data->hosts[0].url, now - 13h, now - 12h - 35min, "", Outcome::ServerFault,
         gbk::FromUtf8("002 <2026-01-02 07:00:00> ------ 中心-A Quarlex服务器 异常 ------")},
    };
    HistoryWindow window(data->Reader(data));
    window.resize(960, 520);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    QTableView* hosts = nullptr;
    QTableView* outages = nullptr;
    for (QTableView* view : window.findChildren<QTableView*>())
        (view->accessibleName() == QString::fromUtf8("服务器") ? hosts : outages) = view;
    hosts->resizeColumnsToContents();
    hosts->horizontalHeader()->setStretchLastSection(true);
    hosts->selectRow(0);
    outages->resizeColumnsToContents();
    QTest::qWait(200);
    return window.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
