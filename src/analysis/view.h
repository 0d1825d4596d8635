// `vespra view`: one trace file served over HTTP on the loopback interface, for the Perfetto UI
// to load with its `url=` parameter, without the interpreter.
//
// The UI loads a trace from the local machine only from http://127.0.0.1:9001 (its pages allow
// no other port), and reads it with fetch(): the response needs the CORS header that names the
// UI's origin. A browser asks first with an OPTIONS request (a preflight) when a public page
// reaches into the private network, so OPTIONS on the trace's path is answered too.
//
// The server answers one connection at a time and nothing but the trace: GET of "/NAME" gets the
// file, OPTIONS of it the preflight, every other path 404, every other method 405, a request
// from a page of another origin than the UI's 403; no listing, no write. It stops after the
// first response that sent the whole file.
#pragma once

#include <cstdint>
#include <string>

#include "core/io_error.h"

namespace vespra::analysis {

// The one port the Perfetto UI takes a local trace from.
inline constexpr uint16_t VIEW_PORT = 9001;
// The UI's own origin, the default the trace is shown to.
inline constexpr const char* PERFETTO_UI = "https://ui.perfetto.dev";
// Above this size the UI often fails to load a trace. It holds the whole trace in the tab's
// memory, which browsers typically limit to about 2 GB, in a form 2 to 4 times the size of a
// protobuf file (Perfetto's "Visualising large traces"); JSON costs more per event still.
inline constexpr uint64_t VIEW_SIZE_LIMIT = 512ull << 20;

// "%"-escapes every byte of `text` but letters, digits and "-._~": a file name as a URL path
// segment or query value.
std::string url_escape(const std::string& text);
// "https://ui.perfetto.dev" of "https://ui.perfetto.dev/v1/#!/x": scheme and authority.
std::string url_origin(const std::string& url);

class TraceServer {
  public:
    enum class Outcome { Served, Interrupted };

    // Opens the trace and listens on 127.0.0.1:`port`. `origin` is the page origin allowed to
    // read it. An error for a file that cannot be opened or a port that cannot be bound (its
    // os_errno() is EADDRINUSE when another program holds the port).
    static Result<TraceServer> open(const std::string& path, uint16_t port, std::string origin);

    TraceServer(TraceServer&& other) noexcept;
    TraceServer& operator=(TraceServer&&) = delete;
    ~TraceServer();

    // "/NAME": the file's base name, escaped.
    const std::string& path() const { return path_; }
    uint64_t size() const { return size_; }

    // Answers requests until one has received the whole file (Served) or `wake` (a descriptor
    // a signal handler writes to, or -1) becomes readable (Interrupted: the caller handles the
    // signal and may call again). A connection that sends nothing for a while is dropped so
    // that it cannot hold the server.
    Result<Outcome> serve(int wake);

  private:
    TraceServer(int file, int listener, const std::string& name, uint64_t size, std::string origin)
        : file_(file),
          listener_(listener),
          name_("/" + name),
          path_("/" + url_escape(name)),
          size_(size),
          origin_(std::move(origin)) {}
    // Answers one connection; true when it received the whole file.
    bool answer(int client);

    int file_;
    int listener_;
    std::string name_;  // "/NAME"
    std::string path_;  // "/NAME" escaped
    uint64_t size_;
    std::string origin_;
};

}  // namespace vespra::analysis
