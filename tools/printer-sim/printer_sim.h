// A network printer for tests and demonstrations: a TCP print server that records every byte of
// every connection, answers the model request (1D 49 43) and can be told to misbehave.
// Discovery over UDP is not here yet; the class keeps room for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarnel::printersim {

struct Options {
    std::string address = "127.0.0.1";  // loopback, or an address of a test namespace
    std::uint16_t port = 0;             // 0: an ephemeral port, see PrinterSimulator::port()
    std::string model = "TARNEL-SIM";   // answered as 5F, the model, 00
    std::string recordDir;              // when set, each connection's bytes also go to a file
};

// What happened on a connection; handed to the observer, on the server thread.
struct Event {
    enum class Kind { Connected, Received, Closed };
    Kind kind = Kind::Connected;
    size_t connection = 0;  // 1-based, in the order of acceptance
    std::string peer;       // the client's "address:port"
    std::string bytes;      // Received: the bytes of this read
    size_t total = 0;       // bytes received on this connection so far
    std::string reason;     // Closed: who closed it, and why
};
using Observer = std::function<void(const Event&)>;

class PrinterSimulator {
  public:
    explicit PrinterSimulator(Options options = {});
    ~PrinterSimulator();  // stops
    PrinterSimulator(const PrinterSimulator&) = delete;
    PrinterSimulator& operator=(const PrinterSimulator&) = delete;

    // Binds, listens and starts serving on a thread of its own; false with a reason on failure.
    bool start(std::string& error);
    void stop();
    std::uint16_t port() const;

    // ---- what the printer received ----
    size_t connectionCount() const;                // connections accepted so far
    std::vector<std::string> connections() const;  // bytes received, one entry per connection
    std::string received() const;  // every connection's bytes, concatenated in order
    // Waits until `total` bytes have been received over all connections.
    bool waitForBytes(size_t total, std::chrono::milliseconds timeout) const;
    bool waitForConnections(size_t count, std::chrono::milliseconds timeout) const;
    // Waits until no connection is open (the client closed, or the printer did).
    bool waitForNoOpenConnection(std::chrono::milliseconds timeout) const;

    // ---- what it sends ----
    // Sends bytes on every open connection.
    void send(const std::string& bytes);

    // ---- misbehaviour ----
    // Refusal closes the listening socket, so the kernel answers a connect with RST and the client
    // sees ECONNREFUSED at once; open connections stay. Ending it binds the same address and port
    // again. Both calls, and closeConnections(), have taken effect when they return. Close-after
    // counts each connection's bytes from its start; echoed bytes go out before model replies
    // found in the same read.
    void setRefuseConnections(bool refuse);  // connections are refused (RST), none accepted
    void setCloseAfter(size_t bytes);        // close a connection after this many bytes (0: never)
    void setStopReading(bool stop);          // stop reading: the TCP window fills up
    void setReplyDelay(std::chrono::milliseconds delay);  // model replies come this late
    void setEcho(bool echo);                              // send every received byte back
    void closeConnections();  // the printer closes every open connection

    // ---- for people ----
    // Called on the server thread without the simulator's lock held. It may read the record and
    // change misbehaviours, but must not call start() or stop().
    void setObserver(Observer observer);
    // The last failure after start(): a listening socket that could not be opened again when
    // refusal ended, a record file that could not be written, an accept that failed.
    std::string lastError() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tarnel::printersim
