#include "text/gbk.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>

#include <QString>

namespace gbk {
namespace {

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

IconvHandle TryOpen(const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    return IconvHandle(cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd);
}

// Never hands iconv a null converter.
IconvHandle Open(const char* to, const char* from) {
    IconvHandle cd = TryOpen(to, from);
    if (!cd) throw std::runtime_error(std::string("no text converter from ") + from + " to " + to);
    return cd;
}

// Runs iconv over the whole input. On an invalid or unencodable sequence, `onBad` decides: it may append a
// substitute and return how many input bytes to skip, or return 0 to give up.
template <typename OnBad>
bool Convert(iconv_t cd, std::string_view in, std::string& out, OnBad onBad) {
    char* inPtr = const_cast<char*>(in.data());
    std::size_t inLeft = in.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (rc != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL (a sequence cut at the end of the input).
        std::size_t skip = onBad(std::string_view(inPtr, inLeft), out);
        if (skip == 0) return false;
        inPtr += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return true;
}

std::size_t Utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    return 2;
}

}  // namespace

bool Available() {
    return TryOpen("UTF-8", "GBK") && TryOpen("GBK", "UTF-8");
}

QString ToQString(std::string_view bytes) {
    IconvHandle cd = Open("UTF-8", "GBK");
    std::string utf8;
    utf8.reserve(bytes.size() * 3 / 2);
    Convert(static_cast<iconv_t>(cd.get()), bytes, utf8, [](std::string_view rest, std::string& out) {
        out += "\xEF\xBF\xBD";
        // A lead byte whose trail is unusable loses only itself; the next byte is read afresh.
        return rest.empty() ? std::size_t{0} : std::size_t{1};
    });
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string FromQString(const QString& text) {
    IconvHandle cd = Open("GBK", "UTF-8");
    QByteArray utf8 = text.toUtf8();
    std::string out;
    Convert(static_cast<iconv_t>(cd.get()), std::string_view(utf8.constData(), utf8.size()), out,
            [](std::string_view rest, std::string& sink) {
                sink += '?';
                return std::min(rest.size(), Utf8SequenceLength(static_cast<unsigned char>(rest[0])));
            });
    return out;
}

std::string FromUtf8(std::string_view utf8) {
    IconvHandle cd = Open("GBK", "UTF-8");
    std::string out;
    Convert(static_cast<iconv_t>(cd.get()), utf8, out, [](std::string_view rest, std::string& sink) {
        sink += '?';
        return std::min(rest.size(), Utf8SequenceLength(static_cast<unsigned char>(rest[0])));
    });
    return out;
}

std::optional<std::string> FromQStringStrict(const QString& text) {
    IconvHandle cd = Open("GBK", "UTF-8");
    QByteArray utf8 = text.toUtf8();
    std::string out;
    bool ok = Convert(static_cast<iconv_t>(cd.get()), std::string_view(utf8.constData(), utf8.size()), out,
                      [](std::string_view, std::string&) { return std::size_t{0}; });
    if (!ok) return std::nullopt;
    return out;
}

std::size_t Find(std::string_view haystack, std::string_view needle, std::size_t from) {
    if (needle.empty()) return from <= haystack.size() ? from : std::string_view::npos;
    std::size_t pos = from;
    while (pos + needle.size() <= haystack.size()) {
        if (haystack[pos] == needle[0] && haystack.compare(pos, needle.size(), needle) == 0) return pos;
        pos += CharLength(haystack, pos);
    }
    return std::string_view::npos;
}

void ReplaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
    if (placeholder.empty()) return;
    std::size_t pos = 0;
    while ((pos = Find(text, placeholder, pos)) != std::string::npos) {
        text.replace(pos, placeholder.size(), value);
        pos += value.size();
    }
}

}  // namespace gbk
