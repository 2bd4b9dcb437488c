// A bare Qt dialog with the monitor window's widgets, font and size and none of its behaviour: the baseline
// of tessiv-idle-memory. It links Qt Widgets alone, as any Qt program with such a window would.
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QPlainTextEdit>
#include <QPushButton>

#include "servers/ui/dialog_units.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QDialog dialog;
    QFont font = dialog.font();
    font.setPointSize(9);
    dialog.setFont(font);
    dialog.setFixedSize(dialog_units::Size(449, 243));
    const int buttons[][2] = {{376, 7}, {376, 215}, {376, 29}, {376, 75}, {376, 52}};
    const char* captions[] = {"启动", "退出", "关闭声音", "管理服务器", "清空异常记录"};
    for (int i = 0; i < 5; ++i)
        (new QPushButton(QString::fromUtf8(captions[i]), &dialog))
            ->setGeometry(dialog_units::Rect(buttons[i][0], buttons[i][1], 67, 21));
    for (QRect pane : {dialog_units::Rect(7, 7, 359, 94), dialog_units::Rect(7, 102, 359, 137)})
        (new QPlainTextEdit(&dialog))->setGeometry(pane);
    for (int y : {121, 134, 148, 162, 176, 190})
        (new QCheckBox(QString::fromUtf8("报警时播放声音"), &dialog))
            ->setGeometry(dialog_units::Rect(369, y, 73, 13));
    dialog.show();
    return QApplication::exec();
}
