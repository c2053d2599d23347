#include "net/http.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <utility>

#include "net/http_file_sink_win.h"
#include "net/http_request_win.h"

namespace velda {

namespace {

// The owned body behind the sink interface; its block grows as HttpBody's rules say.
class MemorySink final : public BodySink {
  public:
    explicit MemorySink(uint64_t max_bytes) : body_(max_bytes) {}
    bool begin(uint32_t announced) override {
        return body_.begin(announced) || fail(TransferStage::Memory, 0);
    }
    char* room(uint32_t count) override {
        char* place = body_.room(count);
        if (place == nullptr) {
            fail(TransferStage::Memory, 0);
        }
        return place;
    }
    void commit(uint32_t count) override { body_.commit(count); }

    // Called after the transfer succeeded: body, NUL, and the block cut to fit.
    [[nodiscard]] bool finish() { return body_.finish() || fail(TransferStage::Memory, 0); }
    HttpBody& body() { return body_; }

  private:
    HttpBody body_;
};

// Progress of a continued body counts the bytes that an earlier attempt brought.
struct WholeBodyProgress {
    ProgressCallback callback;
    void* user_data;
    const TempFileSink* sink;
};

void report_whole_body(uint32_t received, uint32_t total, void* user_data) {
    const WholeBodyProgress* progress = static_cast<const WholeBodyProgress*>(user_data);
    const PartFile& part = progress->sink->part();
    if (part.continued_from() > 0) {
        received += static_cast<uint32_t>(part.continued_from());
        total = static_cast<uint32_t>(part.whole_length());
    }
    progress->callback(received, total, progress->user_data);
}

}  // namespace

TransferResult http_get_to_memory_with_progress(const wchar_t* url, HttpBody* body,
                                                ProgressCallback callback, void* user_data,
                                                uint32_t time_limit_ms, uint64_t max_bytes) {
    MemorySink sink(max_bytes);
    TransferResult result = transfer(url, sink, callback, user_data, time_limit_ms, max_bytes);
    if (result && !sink.finish()) {
        result = sink.failure(result.http_status);
    }
    if (result) {
        *body = std::move(sink.body());
    }
    return result;
}

TransferResult http_get_to_file_with_progress(const wchar_t* url, const char* file_path,
                                              ProgressCallback callback, void* user_data,
                                              const uint8_t* expected_sha256,
                                              uint32_t time_limit_ms, uint64_t max_bytes) {
    TempFileSink sink(file_path, expected_sha256);
    TransferResult result = transfer(url, sink, callback, user_data, time_limit_ms, max_bytes);
    if (result && !sink.finish()) {
        result = sink.failure(result.http_status);
    }
    return result;
}

TransferResult http_get_to_file_continuing(const wchar_t* url, const char* file_path,
                                           ProgressCallback callback, void* user_data,
                                           const uint8_t* expected_sha256,
                                           ContinuableDownload* download) {
    TempFileSink sink(file_path, expected_sha256, download);
    WholeBodyProgress progress{callback, user_data, &sink};
    TransferResult result = transfer(url, sink, callback != nullptr ? report_whole_body : nullptr,
                                     &progress, 0, download->max_bytes);
    if (result && !sink.finish()) {
        result = sink.failure(result.http_status);
    }
    return result;
}

}  // namespace velda
