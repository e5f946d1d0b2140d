// What the self-contained module gives ICU's common library (libicuuc.a) in
// place of what it would take from elsewhere. The module asks ICU only for
// character properties (general category, Alphabetic, White_Space,
// Grapheme_Extend), which are compiled into the common library itself.
//
// - An empty common-data package under the name ICU looks for
//   (icudt<major>_dat), instead of Debian's 30 MB libicudata.a: nothing the
//   module calls opens the data; anything that did would find no item and get
//   ICU's missing-data error, not a crash.
// - The C library's time-zone globals, which ICU's platform layer (putil)
//   reads to guess the host's time zone: Debian's archive is position-dependent
//   code, which a shared object cannot point at another library's data with.
//   The module never asks for a time zone; these stand-ins, local to the
//   module like every symbol but its entry point, only let putil link.
#include <unicode/udata.h>
#include <unicode/utypes.h>

#include <cstdint>

namespace {

// The layout ICU reads a common-data package through: a 32-byte header,
// the data information, then a table of contents with no entries.
struct EmptyPackage {
  std::uint16_t header_size;
  std::uint8_t magic1;
  std::uint8_t magic2;
  UDataInfo info;
  char padding[8];
  std::uint32_t count;
  std::uint32_t reserved;
  std::uint32_t toc[2];
};

}  // namespace

extern "C" {
long __timezone = 0;
char* tzname[2] = {nullptr, nullptr};
}

extern "C" const EmptyPackage U_ICUDATA_ENTRY_POINT = {
    32,
    0xda,
    0x27,
    {sizeof(UDataInfo),
     0,
     U_IS_BIG_ENDIAN,
     U_CHARSET_FAMILY,
     sizeof(UChar),
     0,
     {0x54, 0x6f, 0x43, 0x50},  // "ToCP": a table of contents
     {1, 0, 0, 0},
     {0, 0, 0, 0}},
    {0, 0, 0, 0, 0, 0, 0, 0},
    0,
    0,
    {0, 0},
};
