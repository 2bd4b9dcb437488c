#include "monitor/pane_view.h"

#include <utility>

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "text/gbk.h"

namespace {

// The block breaks a text document makes of these bytes: CR LF, a lone CR and a lone LF each end a block.
int BlockBreaks(std::string_view bytes) {
    int breaks = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            ++breaks;
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
        } else if (bytes[i] == '\n') {
            ++breaks;
        }
    }
    return breaks;
}

}  // namespace

PaneView::PaneView(QPlainTextEdit* edit) : m_edit(edit) {
    // Changes made here are no edits of the operator's: an undo history would only grow.
    m_edit->setUndoRedoEnabled(false);
}

void PaneView::Show(const std::string& text) {
    const std::size_t added = std::exchange(m_prepended, 0);
    if (text == m_shown) return;
    if (!ShowChange(text, added)) m_edit->setPlainText(gbk::ToQString(text));
    m_shown = text;
    // As after showing the whole text: the cursor, and so the view, at the newest line.
    m_edit->moveCursor(QTextCursor::Start);
}

// The text is `added` new bytes followed by the start of what is shown. CR and LF never occur inside a GBK
// character, so the conversion starts afresh behind them: everything up to the last LF that survives the
// cut stays as it is shown.
bool PaneView::ShowChange(const std::string& text, std::size_t added) {
    if (added == 0 || added >= text.size() || m_shown.empty()) return false;
    const std::size_t kept = text.size() - added;
    if (kept > m_shown.size() || text.compare(added, kept, m_shown, 0, kept) != 0) return false;
    const std::size_t lastLf = m_shown.rfind('\n', kept - 1);
    if (lastLf == std::string::npos) return false;
    QTextDocument* document = m_edit->document();
    const QTextBlock firstChanged =
        document->findBlockByNumber(BlockBreaks(std::string_view(m_shown).substr(0, lastLf + 1)));
    if (!firstChanged.isValid()) return false;

    QTextCursor cursor(document);
    cursor.setPosition(firstChanged.position());
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.insertText(gbk::ToQString(std::string_view(m_shown).substr(lastLf + 1, kept - lastLf - 1)));
    cursor.setPosition(0);
    cursor.insertText(gbk::ToQString(std::string_view(text).substr(0, added)));
    return true;
}
