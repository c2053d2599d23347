// The settings file's language decision. The input is the file: read_language_flag on a real
// file, settings_piece_decides on the pieces fgets gives, and a model of the rule all agree.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_targets.h"
#include "launcher/settings.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "settings_language";

// A private APPDATA for this process, removed at exit.
class FakeAppdata {
  public:
    FakeAppdata() {
        std::random_device random;
        root_ = std::filesystem::temp_directory_path() /
                ("velda-fuzz-settings-" + std::to_string(random()) + std::to_string(random()));
        std::error_code ignored;
        std::filesystem::create_directories(root_, ignored);
#ifdef _WIN32
        appdata_ = root_.string();
        std::filesystem::create_directories(root_ / "VeldaNova", ignored);
        file_ = (root_ / "VeldaNova" / "settings.txt").string();
#else
        // The path is formed with backslashes, as on Windows; here that is one file name.
        appdata_ = (root_ / "appdata").string();
        file_ = appdata_ + "\\VeldaNova\\settings.txt";
#endif
    }
    ~FakeAppdata() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    FakeAppdata(const FakeAppdata&) = delete;
    FakeAppdata& operator=(const FakeAppdata&) = delete;

    const std::string& appdata() const {
        return appdata_;
    }

    bool write(const uint8_t* data, size_t size) const {
        std::FILE* out = std::fopen(file_.c_str(), "wb");
        if (out == nullptr) {
            return false;
        }
        bool written = std::fwrite(data, 1, size, out) == size;
        return std::fclose(out) == 0 && written;
    }

  private:
    std::filesystem::path root_;
    std::string appdata_;
    std::string file_;
};

// The pieces fgets(buffer, 256) gives: up to 255 bytes, or up to and with a line feed.
std::vector<std::string> fgets_pieces(const uint8_t* data, size_t size) {
    std::vector<std::string> pieces;
    size_t at = 0;
    while (at < size) {
        size_t end = at;
        while (end < size && end - at < kSettingsPieceSize - 1) {
            if (data[end++] == '\n') {
                break;
            }
        }
        pieces.emplace_back(reinterpret_cast<const char*>(data + at), end - at);
        at = end;
    }
    return pieces;
}

}  // namespace

int fuzz_settings_language(const uint8_t* data, size_t size) {
    static FakeAppdata appdata;
    int expected = 0;
    bool decided = false;
    for (const std::string& piece : fgets_pieces(data, size)) {
        // What the program sees of the piece is a C string: a NUL byte ends it.
        std::string text = fuzz_model_trim(piece.c_str());
        bool model_decides = text.compare(0, 9, "language=") == 0;
        int model_spanish = model_decides && text.substr(9) == "es" ? 1 : 0;

        std::unique_ptr<char[]> buffer(new char[kSettingsPieceSize]);
        std::memcpy(buffer.get(), piece.data(), piece.size());
        buffer[piece.size()] = '\0';
        int spanish = -1;
        bool decides = settings_piece_decides(buffer.get(), &spanish);
        if (decides != model_decides || (decides && spanish != model_spanish)) {
            return fuzz_failure(kTarget, "a piece decides unlike the rule");
        }
        if (decides && !decided) {
            decided = true;
            expected = spanish;
        }
    }
    if (!appdata.write(data, size)) {
        return 0;  // nowhere to write: only the pieces were checked
    }
    if (read_language_flag(appdata.appdata().c_str()) != expected) {
        return fuzz_failure(kTarget, "the file's language differs from its first language piece");
    }
    return 0;
}
