#include "servers/entry_input.h"

#include <initializer_list>
#include <optional>
#include <utility>

#include <QList>

#include "text/gbk.h"

namespace entry {
namespace {

static_assert(kMaxInputBytes == 202);

QString CodePoint(char32_t c) {
    return QStringLiteral("U+") + QString::number(static_cast<uint>(c), 16).toUpper().rightJustified(4, u'0');
}

// What is wrong with one character of a field, or nothing.
std::optional<QString> CharacterProblem(char32_t c) {
    switch (c) {
        case U',':
        case U'@':
            return QStringLiteral("不能含有字符 “%1”").arg(QChar(static_cast<char16_t>(c)));
        case U'\r':
        case U'\n':
            return QStringLiteral("不能含有换行符 (%1)").arg(CodePoint(c));
        case U'\0':
            return QStringLiteral("不能含有空字符 (U+0000)");
        default:
            break;
    }
    if (gbk::FromQStringStrict(QString::fromUcs4(&c, 1)).has_value()) return std::nullopt;
    return QStringLiteral("含有无法以 GBK 保存的字符 “%1” (%2)").arg(QString::fromUcs4(&c, 1), CodePoint(c));
}

std::optional<QString> FieldProblem(const QString& label, const QString& text) {
    // toUcs4 turns a lone surrogate into U+FFFD, which GBK lacks, so it is refused like any other.
    for (char32_t c : text.toUcs4()) {
        if (std::optional<QString> problem = CharacterProblem(c))
            return label + *problem + QStringLiteral("。");
    }
    return std::nullopt;
}

}  // namespace

InputResult EntryFromInput(const QString& name, const QString& ip) {
    InputResult result;
    for (const auto& [label, text] :
         {std::pair{QStringLiteral("服务器名称"), &name}, std::pair{QStringLiteral("服务器IP"), &ip}}) {
        if (std::optional<QString> problem = FieldProblem(label, *text)) {
            result.problem = *problem;
            return result;
        }
    }
    std::string nameBytes = gbk::FromQString(name);
    std::string ipBytes = gbk::FromQString(ip);
    std::size_t bytes = nameBytes.size() + ipBytes.size();
    if (bytes > kMaxInputBytes) {
        result.problem =
            QStringLiteral("服务器名称与IP合计 %1 字节，最多只能 %2 字节。").arg(bytes).arg(kMaxInputBytes);
        return result;
    }
    result.entry = Build(nameBytes, ipBytes);
    return result;
}

std::size_t InputBytes(const QString& text) {
    return gbk::FromQString(text).size();
}

}  // namespace entry
