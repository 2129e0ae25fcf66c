// The package record, read by package tools from the executable.
namespace {

struct PackageRecord {
    char bytes[21];
};
[[gnu::used, gnu::section(".vekos.pkgmeta"), gnu::aligned(4)]] const PackageRecord g_pkgmeta_0 asm("g_pkgmeta_0")
    = {"VPKG\x01\x00\x00\x00"
       "paneprobe\0"
       "2\0"};
static_assert(sizeof(g_pkgmeta_0) == 21);

} // namespace
