#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>

#include "common/progress.h"
#include "net/body_bound.h"
#include "net/transfer_result.h"

namespace velda {

// What every GET sends besides its target.
inline constexpr wchar_t kNoCacheHeaders[] =
    L"Cache-Control: no-cache, no-store, must-revalidate\r\nPragma: no-cache\r\nExpires: 0\r\n";

// What a GET reports when it stops at stage; status is the HTTP status once one was read.
[[nodiscard]] TransferResult stopped_at(TransferStage stage, DWORD win32_error, DWORD status = 0);

// Where the body goes as it arrives. The read loop asks for room for the bytes the connection
// has available, reads into it, then hands the count back. A sink that fails says where.
class BodySink {
  public:
    // The response was accepted; announced is its Content-Length or 0.
    [[nodiscard]] virtual bool begin(uint32_t announced) = 0;
    // Room for at least count bytes, or null when there is none.
    [[nodiscard]] virtual char* room(uint32_t count) = 0;
    virtual void commit(uint32_t count) = 0;
    // What the request sends besides its target: the no-cache headers, and a sink's own.
    virtual const wchar_t* request_headers() { return kNoCacheHeaders; }
    // The status was accepted; a sink that needs the answer's other headers reads them here.
    [[nodiscard]] virtual bool answered(HINTERNET /*request*/, DWORD /*status*/) { return true; }
    // The server answered with a status other than 2xx.
    virtual void refused(DWORD /*status*/) {}
    // What an earlier attempt brought of this body, once answered() accepted the answer.
    virtual uint64_t held_before_body() const { return 0; }

    TransferStage failed_stage() const { return failed_stage_; }
    DWORD failed_error() const { return failed_error_; }
    // A sink that fails once the body is in keeps the status the transfer read.
    [[nodiscard]] TransferResult failure(uint32_t http_status) const {
        return stopped_at(failed_stage_, failed_error_, http_status);
    }

  protected:
    ~BodySink() = default;
    bool fail(TransferStage stage, DWORD error) {
        failed_stage_ = stage;
        failed_error_ = error;
        return false;
    }

  private:
    TransferStage failed_stage_ = TransferStage::Done;
    DWORD failed_error_ = 0;
};

// The GET both operations share; the request and connection close in this order, on the run's
// session. time_limit_ms 0: only the stall limit applies. The whole body, what the sink held
// before included, stays within max_bytes.
[[nodiscard]] TransferResult transfer(const wchar_t* url, BodySink& sink, ProgressCallback callback,
                                      void* user_data, uint32_t time_limit_ms = 0,
                                      uint64_t max_bytes = kNoBodyBound);

}  // namespace velda
