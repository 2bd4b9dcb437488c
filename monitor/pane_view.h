#pragma once

#include <cstddef>
#include <string>

class QPlainTextEdit;

// Shows a pane text (GBK) in its edit control. A pane text only gains lines at the top and loses bytes at
// its end, so a refresh inserts the new lines and drops the cut tail instead of laying out the whole pane
// again; what the control shows is exactly what showing the whole text would show.
class PaneView {
public:
    explicit PaneView(QPlainTextEdit* edit);

    // `bytes` were put in front of the pane text since it was last shown.
    void Prepended(std::size_t bytes) { m_prepended += bytes; }
    void Show(const std::string& text);

private:
    bool ShowChange(const std::string& text, std::size_t added);

    QPlainTextEdit* m_edit;
    std::string m_shown;  // the pane text the control shows
    std::size_t m_prepended = 0;
};
