#include "keygen.h"

#include <cstdio>
#include <algorithm>
#include <filesystem>

#include "release_crypto.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace velda {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrivateName = "velda-release-private.pem";
constexpr const char* kPublicName = "velda-release-public.pem";

int keygen_error(const std::string& why) {
    std::fprintf(stderr, "velda-release keygen: %s\n", why.c_str());
    return 1;
}

#ifndef _WIN32
// Created with its final mode, never replacing a file: O_EXCL also refuses a planted link.
bool write_new_file(const fs::path& path, const std::string& text, mode_t mode,
                    std::string* error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = "cannot create " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    // The umask may only have taken bits away; the mode is set exactly all the same.
    bool ok = ::fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        ok = wrote > 0;
        done += wrote > 0 ? static_cast<size_t>(wrote) : 0;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        *error = "cannot write " + path.string() + ": " + std::strerror(errno);
        ::unlink(path.c_str());
    }
    return ok;
}
#endif

}  // namespace

int run_keygen(const std::string& output_folder) {
#ifdef _WIN32
    (void)output_folder;
    return keygen_error("making keys is not available in this build (it has no libcrypto)");
#else
    fs::path folder(output_folder);
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        return keygen_error("the folder " + folder.string() + " does not exist");
    }
    fs::path private_path = folder / kPrivateName;
    fs::path public_path = folder / kPublicName;
    for (const fs::path& path : {private_path, public_path}) {
        if (fs::exists(fs::symlink_status(path, ec))) {
            return keygen_error(path.string() + " already exists; keygen never replaces a key");
        }
    }
    std::string private_pem;
    std::string public_pem;
    std::string error;
    if (!generate_release_key_pair(&private_pem, &public_pem, &error)) {
        return keygen_error(error);
    }
    bool ok = write_new_file(private_path, private_pem, 0600, &error);
    if (ok && !write_new_file(public_path, public_pem, 0644, &error)) {
        ::unlink(private_path.c_str());
        ok = false;
    }
    std::fill(private_pem.begin(), private_pem.end(), '\0');
    if (!ok) {
        return keygen_error(error);
    }
    std::printf("Wrote %s (keep it secret; readable by you only)\n", private_path.c_str());
    std::printf("Wrote %s (build the launcher with -DVELDA_RELEASE_PUBLIC_KEYS=<this file>)\n",
                public_path.c_str());
    return 0;
#endif
}

}  // namespace velda
