// The model-request matcher, the reply and the record files of the printer simulator's
// connections.
#include "tools/printer-sim/connection.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tarnel::printersim {

namespace {
constexpr unsigned char kModelRequest[3] = {0x1D, 0x49, 0x43};
}

size_t ModelRequestMatcher::feed(std::string_view bytes) {
    size_t found = 0;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == kModelRequest[matched_]) {
            if (++matched_ == 3) {
                ++found;
                matched_ = 0;
            }
        } else {
            matched_ = b == kModelRequest[0] ? 1 : 0;
        }
    }
    return found;
}

std::string modelReply(const std::string& model) {
    std::string reply(1, '\x5F');
    reply += model;
    reply += '\0';
    return reply;
}

std::FILE* openRecordFile(const std::string& dir, size_t* sequence, std::string* path) {
    // Earlier runs may have left files in the folder; they are kept, new ones take the next names.
    for (int attempt = 0; attempt < 100000; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "connection-%04zu.bin", ++*sequence);
        std::string candidate = dir + "/" + name;
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            std::FILE* file = ::fdopen(fd, "wb");
            if (file == nullptr) {
                ::close(fd);
                break;
            }
            *path = candidate;
            return file;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    path->clear();
    return nullptr;
}

}  // namespace tarnel::printersim
