// The PROGRESS line reader. Input: a count of split points, the points (two bytes each), then the
// child's output. However the output is cut into reads, the reader reports the same lines, and
// those are the lines of a plain model: CR dropped, LF ends a line, 511 bytes kept of each.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "fuzz_targets.h"
#include "install/progress_lines.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "progress_lines";
constexpr size_t kMaxSplits = 32;

using Reports = std::vector<std::pair<uint32_t, uint32_t>>;

void record(uint32_t done, uint32_t total, void* user_data) {
    static_cast<Reports*>(user_data)->emplace_back(done, total);
}

Reports feed_in_pieces(const std::string& output, const std::vector<size_t>& cuts) {
    Reports reports;
    // On the heap, so that a write past the line buffer is caught.
    std::unique_ptr<ProgressLineReader> reader(new ProgressLineReader);
    progress_reader_init(reader.get());
    size_t from = 0;
    for (size_t cut : cuts) {
        progress_reader_feed(reader.get(), output.data() + from, cut - from, record, &reports);
        from = cut;
    }
    progress_reader_feed(reader.get(), output.data() + from, output.size() - from, record,
                         &reports);
    progress_reader_finish(reader.get(), record, &reports);
    return reports;
}

std::vector<std::string> model_lines(const std::string& output) {
    std::vector<std::string> lines;
    std::string line;
    bool open = false;
    for (char c : output) {
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
            open = false;
            continue;
        }
        open = true;
        if (line.size() < kProgressLineBufferSize - 1) {
            line += c;
        }
    }
    if (open) {
        lines.push_back(line);
    }
    return lines;
}

#if defined(__GLIBC__)
// "%lu:%lu" as a 32-bit unsigned long reads it, where glibc's 64-bit one agrees: no minus sign
// and no number beyond 32 bits.
bool scanf_agrees(const char* line) {
    if (std::strncmp(line, "PROGRESS:", 9) != 0 || std::strchr(line, '-') != nullptr) {
        return true;
    }
    unsigned long long value = 0;
    for (const char* p = line; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<unsigned>(*p - '0');
            if (value > UINT32_MAX) {
                return true;
            }
        } else {
            value = 0;
        }
    }
    unsigned long done = 0;
    unsigned long total = 0;
    int converted = std::sscanf(line + 9, "%lu:%lu", &done, &total);
    uint32_t parsed_done = 0;
    uint32_t parsed_total = 0;
    bool parsed = parse_progress_line(line, &parsed_done, &parsed_total);
    return parsed == (converted == 2) &&
           (!parsed || (parsed_done == done && parsed_total == total));
}
#endif

}  // namespace

int fuzz_progress_lines(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    size_t split_count = data[0] % (kMaxSplits + 1);
    ++data;
    --size;
    if (size < split_count * 2) {
        split_count = size / 2;
    }
    std::vector<uint16_t> raw_cuts;
    for (size_t i = 0; i < split_count; ++i) {
        raw_cuts.push_back(static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)));
    }
    std::string output(reinterpret_cast<const char*>(data + 2 * split_count),
                       size - 2 * split_count);
    std::vector<size_t> cuts;
    for (uint16_t raw : raw_cuts) {
        cuts.push_back(raw % (output.size() + 1));
    }
    std::sort(cuts.begin(), cuts.end());

    Reports whole = feed_in_pieces(output, {});
    Reports pieces = feed_in_pieces(output, cuts);
    if (whole != pieces) {
        return fuzz_failure(kTarget, "reports depend on how the output was cut into reads");
    }
    std::vector<size_t> bytewise;
    for (size_t i = 1; i < output.size() && i < 4096; ++i) {
        bytewise.push_back(i);
    }
    if (output.size() < 4096 && feed_in_pieces(output, bytewise) != whole) {
        return fuzz_failure(kTarget, "reports differ when the output arrives byte by byte");
    }

    Reports expected;
    for (const std::string& line : model_lines(output)) {
        // The reader sees the line as a C string: a NUL byte ends it early.
        uint32_t done = 0;
        uint32_t total = 0;
        if (parse_progress_line(line.c_str(), &done, &total)) {
            expected.emplace_back(done, total);
        }
#if defined(__GLIBC__)
        if (!scanf_agrees(line.c_str())) {
            return fuzz_failure(kTarget, "a line parses unlike sscanf(\"%lu:%lu\")");
        }
#endif
    }
    if (whole != expected) {
        return fuzz_failure(kTarget, "reports differ from the lines of the model");
    }

    // Without a handler the lines are still read, with no effect.
    ProgressLineReader quiet;
    progress_reader_init(&quiet);
    progress_reader_feed(&quiet, output.data(), output.size(), nullptr, nullptr);
    progress_reader_finish(&quiet, nullptr, nullptr);
    return 0;
}
