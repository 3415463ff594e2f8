// Force-included in the fuzz build only. Cap'n Proto 0.9.2 compares `const char*` with
// kj::StringPtr, which clang >= 16 refuses in C++20 and later (reversed operator==
// candidates are not considered when a matching operator!= exists).
#include <kj/string.h>
namespace kj {
inline bool operator==(const char* a, const StringPtr& b) { return b == StringPtr(a); }
}
