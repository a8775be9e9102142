// Charset names: the host-visible alias table, and the names mail uses
// that the C library's iconv does not know.
#include <strings.h>

#include "charset/charset.h"
#include "ztmime.h"

// Room for hosts to add aliases: write into the first null entry and keep
// a null name after the last one.
ztmime_alias aliases[16] = {
    {"KS_C_5601-1987", "CP949"},
    {"ksc5601", "CP949"},
    {nullptr, nullptr},
};

namespace zt_charset {
namespace {

struct Name {
    const char *name;
    const char *known;  // a name the C library opens
};

// Names that GNU libiconv accepts, or that common mail programs write, and
// that the C library's iconv rejects, each with the converter that reads
// what such mail holds.  The Korean standard names stand for Microsoft's
// superset of EUC-KR (what mail labelled so contains); the GB 2312 names
// for EUC-CN.  Every target is checked to open by the tests.
constexpr Name kNames[] = {
    // Korean
    {"KS_C_5601-1987", "CP949"},
    {"KS_C_5601-1989", "CP949"},
    {"KS_C_5601", "CP949"},
    {"KSC_5601", "CP949"},
    {"KSC5601", "CP949"},
    {"KSC5601-1987", "CP949"},
    {"KS_C_5601_1987", "CP949"},
    {"ISO-IR-149", "CP949"},
    {"CSKSC56011987", "CP949"},
    {"KOREAN", "CP949"},
    {"WINDOWS-949", "CP949"},
    {"X-WINDOWS-949", "CP949"},
    {"MS949", "CP949"},
    {"X-EUC-KR", "EUC-KR"},
    // Chinese
    {"GB_2312-80", "GB2312"},
    {"ISO-IR-58", "GB2312"},
    {"CSISO58GB231280", "GB2312"},
    {"CHINESE", "GB2312"},
    {"X-GB2312", "GB2312"},
    {"X-EUC-CN", "GB2312"},
    {"X-GBK", "GBK"},
    {"CSBIG5", "BIG5"},
    {"X-BIG5", "BIG5"},
    {"X-X-BIG5", "BIG5"},
    {"CSEUCTW", "EUC-TW"},
    {"X-EUC-TW", "EUC-TW"},
    // Japanese
    {"X-EUC-JP", "EUC-JP"},
    {"X-EUC", "EUC-JP"},
    {"EXTENDED_UNIX_CODE_PACKED_FORMAT_FOR_JAPANESE", "EUC-JP"},
    {"X-SJIS", "SHIFT_JIS"},
    {"X-MS-CP932", "CP932"},
    {"ISO-2022-JP-1", "ISO-2022-JP-2"},  // JP-2 reads every JP-1 escape
    // Others
    {"UNICODE-1-1-UTF-7", "UTF-7"},
    {"CSUNICODE11UTF7", "UTF-7"},
};

} // namespace

const char *known_name(const char *name) noexcept
{
    for (const Name &n : kNames)
        if (!strcasecmp(n.name, name))
            return n.known;
    return nullptr;
}

size_t known_name_count() noexcept { return sizeof kNames / sizeof kNames[0]; }

const char *known_name_at(size_t i, const char **target) noexcept
{
    if (i >= known_name_count())
        return nullptr;
    if (target)
        *target = kNames[i].known;
    return kNames[i].name;
}

} // namespace zt_charset
