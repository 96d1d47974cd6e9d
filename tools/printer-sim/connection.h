// One accepted connection of the printer simulator: its socket, the bytes it received, what waits
// to go out, and the matcher that finds model requests across reads. Used by the server thread
// only.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <string_view>

namespace tarnel::printersim {

// Counts the model requests 1D 49 43 in a stream fed piece by piece. The pattern cannot overlap
// itself, so a mismatch only has to check whether the byte starts a new request.
class ModelRequestMatcher {
  public:
    size_t feed(std::string_view bytes);

  private:
    int matched_ = 0;  // bytes of the request seen at the end of the stream so far (0..2)
};

// The reply to a model request: 5F, the model, 00.
std::string modelReply(const std::string& model);

struct Connection {
    using Clock = std::chrono::steady_clock;
    struct Reply {
        Clock::time_point due;
        std::string bytes;
    };

    size_t index = 0;  // 1-based, in the order of acceptance
    std::string peer;  // "address:port"
    int fd = -1;       // -1 once closed; the bytes received stay

    std::string received;
    ModelRequestMatcher matcher;

    // Bytes for the socket; outgoing[sent..] has not been taken yet.
    std::string outgoing;
    size_t sent = 0;
    // Model replies waiting for their time, in the order of the requests; one goes out only
    // after every earlier one, so a changed delay cannot reorder them.
    std::deque<Reply> replies;

    std::FILE* record = nullptr;  // the connection's file in the record folder, if any

    bool open() const { return fd >= 0; }
};

// Creates the next free "connection-NNNN.bin" in dir, starting after *sequence; empty path and
// nullptr when none can be created.
std::FILE* openRecordFile(const std::string& dir, size_t* sequence, std::string* path);

}  // namespace tarnel::printersim
