#include "delta/delta_patch.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/little_endian.h"
#include "delta/delta_format.h"

namespace velda {

namespace {

constexpr size_t kChunk = 64 * 1024;

struct Instruction {
    uint64_t add_length = 0;
    uint64_t insert_length = 0;
    bool seek_back = false;
    uint64_t seek_distance = 0;
};

// The instruction bytes, inflated from the patch as they are needed.
class InstructionStream {
  public:
    explicit InstructionStream(DeltaPatchInput& input) : input_(input) {}
    ~InstructionStream() {
        if (started_) {
            inflateEnd(&zlib_);
        }
    }
    InstructionStream(const InstructionStream&) = delete;
    InstructionStream& operator=(const InstructionStream&) = delete;

    [[nodiscard]] DeltaResult start() {
        if (inflateInit(&zlib_) != Z_OK) {
            return DeltaResult::Corrupt;
        }
        started_ = true;
        return DeltaResult::Applied;
    }

    // Exactly size bytes; a stream that ends inside them is corrupt.
    [[nodiscard]] DeltaResult read(uint8_t* out, size_t size) {
        while (size > 0) {
            if (next_ == end_) {
                DeltaResult filled = fill();
                if (filled != DeltaResult::Applied) {
                    return filled;
                }
                if (next_ == end_) {
                    return DeltaResult::Corrupt;
                }
            }
            size_t part = std::min(size, static_cast<size_t>(end_ - next_));
            std::memcpy(out, next_, part);
            next_ += part;
            out += part;
            size -= part;
        }
        return DeltaResult::Applied;
    }

    // The next instruction; WrongResultSize when the stream ends cleanly before it.
    [[nodiscard]] DeltaResult read_instruction(Instruction* instruction) {
        if (next_ == end_) {
            DeltaResult filled = fill();
            if (filled != DeltaResult::Applied) {
                return filled;
            }
            if (next_ == end_) {
                return DeltaResult::WrongResultSize;
            }
        }
        uint64_t seek = 0;
        DeltaResult result = read_varint(&instruction->add_length);
        if (result == DeltaResult::Applied) {
            result = read_varint(&instruction->insert_length);
        }
        if (result == DeltaResult::Applied) {
            result = read_varint(&seek);
        }
        instruction->seek_back = (seek & 1) != 0;
        instruction->seek_distance = seek >> 1;
        return result;
    }

    // After the last instruction: the stream must end there, and the patch with it.
    [[nodiscard]] DeltaResult finish() {
        while (next_ == end_ && !ended_) {
            DeltaResult filled = fill();
            if (filled != DeltaResult::Applied) {
                return filled;
            }
        }
        if (next_ != end_ || zlib_.avail_in > 0) {
            return DeltaResult::Corrupt;
        }
        size_t got = 0;
        if (!input_.read(input_buffer_, sizeof(input_buffer_), &got)) {
            return DeltaResult::PatchReadFailed;
        }
        return got == 0 ? DeltaResult::Applied : DeltaResult::Corrupt;
    }

    [[nodiscard]] DeltaResult read_varint(uint64_t* value) {
        *value = 0;
        for (size_t i = 0; i < kDeltaVarintMaxBytes; ++i) {
            uint8_t byte = 0;
            DeltaResult result = read(&byte, 1);
            if (result != DeltaResult::Applied) {
                return result;
            }
            if (i == kDeltaVarintMaxBytes - 1 && byte > 1) {
                return DeltaResult::Corrupt;
            }
            *value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
            if ((byte & 0x80) == 0) {
                return DeltaResult::Applied;
            }
        }
        return DeltaResult::Corrupt;
    }

  private:
    // Inflates more bytes into the buffer; none only once the stream has ended.
    // The bytes inflated before a fault are handed out first, so that how the patch comes in
    // reads never changes which fault is reported.
    [[nodiscard]] DeltaResult fill() {
        next_ = end_ = output_buffer_;
        if (ended_ || fault_ != DeltaResult::Applied) {
            return fault_;
        }
        zlib_.next_out = output_buffer_;
        zlib_.avail_out = sizeof(output_buffer_);
        while (zlib_.avail_out == sizeof(output_buffer_)) {
            if (zlib_.avail_in == 0 && !input_done_) {
                size_t got = 0;
                if (!input_.read(input_buffer_, sizeof(input_buffer_), &got)) {
                    return DeltaResult::PatchReadFailed;
                }
                input_done_ = got == 0;
                zlib_.next_in = input_buffer_;
                zlib_.avail_in = static_cast<uInt>(got);
            }
            int status = inflate(&zlib_, Z_NO_FLUSH);
            if (status == Z_STREAM_END) {
                ended_ = true;
                break;
            }
            if (status != Z_OK && status != Z_BUF_ERROR) {
                fault_ = DeltaResult::Corrupt;
                break;
            }
            if (zlib_.avail_in == 0 && input_done_ && zlib_.avail_out == sizeof(output_buffer_)) {
                return DeltaResult::Truncated;
            }
        }
        end_ = output_buffer_ + (sizeof(output_buffer_) - zlib_.avail_out);
        return next_ == end_ ? fault_ : DeltaResult::Applied;
    }

    DeltaPatchInput& input_;
    z_stream zlib_{};
    bool started_ = false;
    bool ended_ = false;
    bool input_done_ = false;
    DeltaResult fault_ = DeltaResult::Applied;
    uint8_t input_buffer_[kChunk];
    uint8_t output_buffer_[kChunk];
    uint8_t* next_ = output_buffer_;
    uint8_t* end_ = output_buffer_;
};

// Exactly size raw bytes from the patch; fewer only at its end (*got tells how many).
[[nodiscard]] bool read_raw(DeltaPatchInput& input, uint8_t* out, size_t size, size_t* got) {
    *got = 0;
    while (*got < size) {
        size_t part = 0;
        if (!input.read(out + *got, size - *got, &part)) {
            return false;
        }
        if (part == 0) {
            break;
        }
        *got += part;
    }
    return true;
}

[[nodiscard]] DeltaResult read_header(DeltaPatchInput& input, DeltaBase& base,
                                      uint64_t result_size) {
    uint8_t header[kDeltaHeaderSize] = {};
    size_t got = 0;
    if (!read_raw(input, header, sizeof(header), &got)) {
        return DeltaResult::PatchReadFailed;
    }
    size_t magic_got = std::min(got, sizeof(kDeltaMagic));
    if (got == 0 || std::memcmp(header, kDeltaMagic, magic_got) != 0) {
        return DeltaResult::NotAPatch;
    }
    if (got < sizeof(header)) {
        return DeltaResult::Truncated;
    }
    if (header[4] != kDeltaFormat || header[5] != kDeltaMethodZlib || header[6] != 0 ||
        header[7] != 0) {
        return DeltaResult::NotAPatch;
    }
    if (load_le64(header + 8) != base.size()) {
        return DeltaResult::WrongBaseSize;
    }
    if (load_le64(header + 16) != result_size) {
        return DeltaResult::WrongResultSize;
    }
    return DeltaResult::Applied;
}

// The fixed buffers of one application and where it stands.
struct Application {
    Application(DeltaBase& base_file, DeltaOutput& output, InstructionStream& instructions)
        : base(base_file), out(output), stream(instructions) {}
    DeltaBase& base;
    DeltaOutput& out;
    InstructionStream& stream;
    uint64_t base_position = 0;
    uint8_t inserted[kChunk];
    uint8_t base_bytes[kChunk];
};

// Where the reading of an add's differences stands: a run of unchanged bytes, then one
// difference, again and again.
struct Differences {
    enum class Next { Run, InRun, Difference };
    Next next = Next::Run;
    uint64_t run_left = 0;
};

// Applies the differences that fall in one chunk of the base; left is what the add still covers
// from the chunk's start.
[[nodiscard]] DeltaResult apply_differences(Application& run, Differences& at, size_t part,
                                            uint64_t left) {
    size_t i = 0;
    while (i < part) {
        if (at.next == Differences::Next::Run) {
            DeltaResult result = run.stream.read_varint(&at.run_left);
            if (result != DeltaResult::Applied) {
                return result;
            }
            if (at.run_left > left - i) {
                return DeltaResult::Corrupt;
            }
            at.next = Differences::Next::InRun;
        }
        if (at.next == Differences::Next::InRun) {
            size_t skip = static_cast<size_t>(std::min<uint64_t>(at.run_left, part - i));
            i += skip;
            at.run_left -= skip;
            if (at.run_left == 0) {
                at.next = Differences::Next::Difference;
            }
            continue;
        }
        uint8_t difference = 0;
        DeltaResult result = run.stream.read(&difference, 1);
        if (result != DeltaResult::Applied) {
            return result;
        }
        run.base_bytes[i] = static_cast<uint8_t>(run.base_bytes[i] + difference);
        ++i;
        at.next = Differences::Next::Run;
    }
    return DeltaResult::Applied;
}

[[nodiscard]] DeltaResult add_to_base(Application& run, uint64_t length) {
    Differences at;
    while (length > 0) {
        size_t part = static_cast<size_t>(std::min<uint64_t>(length, kChunk));
        if (!run.base.read_at(run.base_position, run.base_bytes, part)) {
            return DeltaResult::BaseReadFailed;
        }
        DeltaResult result = apply_differences(run, at, part, length);
        if (result != DeltaResult::Applied) {
            return result;
        }
        if (!run.out.write(run.base_bytes, part)) {
            return DeltaResult::OutputFailed;
        }
        run.base_position += part;
        length -= part;
    }
    return DeltaResult::Applied;
}

[[nodiscard]] DeltaResult insert(Application& run, uint64_t length) {
    while (length > 0) {
        size_t part = static_cast<size_t>(std::min<uint64_t>(length, kChunk));
        DeltaResult result = run.stream.read(run.inserted, part);
        if (result != DeltaResult::Applied) {
            return result;
        }
        if (!run.out.write(run.inserted, part)) {
            return DeltaResult::OutputFailed;
        }
        length -= part;
    }
    return DeltaResult::Applied;
}

// One instruction, checked against the base and the room left in the new file first.
[[nodiscard]] DeltaResult carry_out(Application& run, const Instruction& instruction,
                                    uint64_t room) {
    if (instruction.add_length > room ||
        instruction.insert_length > room - instruction.add_length) {
        return DeltaResult::LengthPastResult;
    }
    uint64_t base_size = run.base.size();
    if (instruction.add_length > base_size - run.base_position) {
        return DeltaResult::OffsetPastBase;
    }
    DeltaResult result = add_to_base(run, instruction.add_length);
    if (result == DeltaResult::Applied) {
        result = insert(run, instruction.insert_length);
    }
    if (result != DeltaResult::Applied) {
        return result;
    }
    uint64_t position = run.base_position;
    if (instruction.seek_back ? instruction.seek_distance > position
                              : instruction.seek_distance > base_size - position) {
        return DeltaResult::OffsetPastBase;
    }
    run.base_position = instruction.seek_back ? position - instruction.seek_distance
                                              : position + instruction.seek_distance;
    return DeltaResult::Applied;
}

}  // namespace

const char* delta_result_text(DeltaResult result) {
    switch (result) {
        case DeltaResult::Applied:
            return "applied";
        case DeltaResult::NotAPatch:
            return "not a patch";
        case DeltaResult::Truncated:
            return "truncated patch";
        case DeltaResult::Corrupt:
            return "corrupt patch";
        case DeltaResult::OffsetPastBase:
            return "patch reads outside the base file";
        case DeltaResult::LengthPastResult:
            return "patch writes past the new file";
        case DeltaResult::WrongResultSize:
            return "patch makes a file of another size";
        case DeltaResult::BaseReadFailed:
            return "base file read failed";
        case DeltaResult::OutputFailed:
            return "new file write failed";
        case DeltaResult::PatchReadFailed:
            return "patch read failed";
        case DeltaResult::WrongBaseSize:
            return "base file has another size than the patch was made from";
    }
    return "unknown patch result";
}

DeltaResult apply_delta_patch(DeltaPatchInput& patch, DeltaBase& base, uint64_t result_size,
                              DeltaOutput& out) {
    DeltaResult result = read_header(patch, base, result_size);
    if (result != DeltaResult::Applied) {
        return result;
    }
    auto stream = std::make_unique<InstructionStream>(patch);
    result = stream->start();
    if (result != DeltaResult::Applied) {
        return result;
    }
    auto run = std::make_unique<Application>(base, out, *stream);
    uint64_t produced = 0;
    while (produced < result_size) {
        Instruction instruction;
        result = stream->read_instruction(&instruction);
        if (result == DeltaResult::Applied) {
            result = carry_out(*run, instruction, result_size - produced);
        }
        if (result != DeltaResult::Applied) {
            return result;
        }
        produced += instruction.add_length + instruction.insert_length;
    }
    return stream->finish();
}

}  // namespace velda
