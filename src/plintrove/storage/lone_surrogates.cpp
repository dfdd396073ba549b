#include "plintrove/storage/lone_surrogates.h"

#include <cstring>

#include "plintrove/core/errors.h"

namespace plintrove {

void refuse_lone_surrogates(const std::string& text) {
    const char* data = text.data();
    const char* end = data + text.size();
    for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '\xED', end - p)));
         ++p) {
        if (end - p < 2 || (static_cast<unsigned char>(p[1]) & 0xE0) != 0xA0) continue;
        std::size_t position = 0;
        for (const char* q = data; q < p; ++q)
            if ((static_cast<unsigned char>(*q) & 0xC0) != 0x80) ++position;
        throw UnicodeEncodeError(text, position);
    }
}

}  // namespace plintrove
