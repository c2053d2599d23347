// velda-release: packs a product folder into a release the launcher reads exactly as meant, and
// checks a published release with the launcher's own reading code.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "check.h"
#include "delta_maker.h"
#include "keygen.h"
#include "pack.h"
#include "release_crypto.h"
#include "tree_files.h"

namespace velda {

namespace {

const char kUsage[] =
    "usage:\n"
    "  velda-release pack --product DIR --version VERSION --server URL --out DIR\n"
    "                     [--previous DIR --previous-version VERSION]... [--sign-key PRIVATE.pem]\n"
    "                     [--product-id ID] [--expires-in-days N] [--launcher VeldaLauncher.exe]\n"
    "                     [--no-patches]\n"
    "      DIR must hold Velda.exe at its top level; URL is scheme://host[:port] of the\n"
    "      download server; --out names a new folder, laid out as the server's document root.\n"
    "      --previous and --previous-version, once per earlier version users may have.\n"
    "      --sign-key signs downloads/latest.json into downloads/latest.json.sig.\n"
    "      --product-id (default velda): keyed launchers built for another product refuse it.\n"
    "      --expires-in-days: keyed launchers refuse the release N days after packing.\n"
    "      --launcher: keyed launchers older than its version resource update themselves to it.\n"
    "      --no-patches: changed files are offered whole only, without binary patches.\n"
    "  velda-release check MANIFEST [--installed VERSION] [--no-install-folder]\n"
    "                      [--root DIR] [--cacert FILE] [--public-key PUBLIC.pem]...\n"
    "                      [--product-id ID] [--launcher-version VERSION]\n"
    "                      [--previous DIR --previous-version VERSION]...\n"
    "      MANIFEST is a file (its document root is two folders up unless --root is given)\n"
    "      or an http(s) URL. Exit status 0: the release is sound; 1: it is not.\n"
    "      --public-key (repeatable): the release must be signed by one of these keys.\n"
    "      --product-id: the launchers' VELDA_PRODUCT_ID; another product's release fails.\n"
    "      --launcher-version: what a keyed launcher of that version does with the offered\n"
    "      launcher (default: this build's version).\n"
    "      --previous and --previous-version: an earlier version's product folder, to which\n"
    "      its change set's patches are applied; without, patches are checked by SHA-256.\n"
    "  velda-release keygen --out DIR\n"
    "      writes DIR/velda-release-private.pem (owner only) and DIR/velda-release-public.pem.\n"
    "  velda-release diff BASE NEW OUT\n"
    "      writes OUT, a binary patch that turns the file BASE into the file NEW.\n";

int usage_error(const char* why) {
    std::fprintf(stderr, "velda-release: %s\n%s", why, kUsage);
    return 2;
}

// Takes the value of "--name VALUE"; false when the option is not this one.
bool take(int argc, char** argv, int* i, const char* name, std::string* value, bool* missing) {
    if (std::strcmp(argv[*i], name) != 0) {
        return false;
    }
    if (*i + 1 >= argc) {
        *missing = true;
        return true;
    }
    *value = argv[++*i];
    return true;
}

// One half of a "--previous DIR --previous-version VERSION" pair, kept in the order given.
bool take_previous(int argc, char** argv, int* i, std::vector<std::string>* folders,
                   std::vector<std::string>* versions, bool* missing) {
    std::string value;
    std::vector<std::string>* into = nullptr;
    if (take(argc, argv, i, "--previous", &value, missing)) {
        into = folders;
    } else if (take(argc, argv, i, "--previous-version", &value, missing)) {
        into = versions;
    } else {
        return false;
    }
    if (!*missing) {
        into->push_back(value);
    }
    return true;
}

// "--previous" and "--previous-version" paired in the order given; a missing half stays empty.
std::vector<PreviousRelease> pair_previous(const std::vector<std::string>& folders,
                                           const std::vector<std::string>& versions) {
    std::vector<PreviousRelease> pairs(std::max(folders.size(), versions.size()));
    for (size_t i = 0; i < pairs.size(); ++i) {
        pairs[i].folder = i < folders.size() ? folders[i] : "";
        pairs[i].version = i < versions.size() ? versions[i] : "";
    }
    return pairs;
}

// Digits only, at least 1; a count beyond what pack allows is left for pack to refuse.
bool parse_day_count(const std::string& text, int* out) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *out = std::stoi(text);
    return *out > 0;
}

int pack_command(int argc, char** argv) {
    PackOptions options;
    bool missing = false;
    std::vector<std::string> previous_folders;
    std::vector<std::string> previous_versions;
    for (int i = 2; i < argc; ++i) {
        if (take_previous(argc, argv, &i, &previous_folders, &previous_versions, &missing)) {
            if (missing) {
                return usage_error("an option lacks its value");
            }
            continue;
        }
        if (take(argc, argv, &i, "--product", &options.product_folder, &missing) ||
            take(argc, argv, &i, "--version", &options.version, &missing) ||
            take(argc, argv, &i, "--server", &options.server, &missing) ||
            take(argc, argv, &i, "--out", &options.output_folder, &missing) ||
            take(argc, argv, &i, "--sign-key", &options.sign_key, &missing) ||
            take(argc, argv, &i, "--launcher", &options.launcher_file, &missing) ||
            take(argc, argv, &i, "--product-id", &options.product_id, &missing)) {
            if (missing) {
                return usage_error("an option lacks its value");
            }
            continue;
        }
        if (std::strcmp(argv[i], "--no-patches") == 0) {
            options.make_patches = false;
            continue;
        }
        std::string days;
        if (take(argc, argv, &i, "--expires-in-days", &days, &missing)) {
            if (missing || !parse_day_count(days, &options.expires_in_days)) {
                return usage_error("--expires-in-days needs a whole number of days from 1");
            }
            continue;
        }
        return usage_error((std::string("unknown argument ") + argv[i]).c_str());
    }
    options.previous = pair_previous(previous_folders, previous_versions);
    if (options.product_folder.empty() || options.version.empty() || options.server.empty() ||
        options.output_folder.empty()) {
        return usage_error("pack needs --product, --version, --server and --out");
    }
    if (!options.sign_key.empty() && !release_signing_available()) {
        std::fprintf(stderr,
                     "velda-release: --sign-key is not available in this build (it has no "
                     "libcrypto); sign with openssl dgst -sha256 -sign instead\n");
        return 2;
    }
    return run_pack(options);
}

int check_command(int argc, char** argv) {
    CheckOptions options;
    bool missing = false;
    std::vector<std::string> previous_folders;
    std::vector<std::string> previous_versions;
    for (int i = 2; i < argc; ++i) {
        if (take_previous(argc, argv, &i, &previous_folders, &previous_versions, &missing)) {
            if (missing) {
                return usage_error("an option lacks its value");
            }
            continue;
        }
        std::string key_file;
        if (take(argc, argv, &i, "--public-key", &key_file, &missing)) {
            if (missing) {
                return usage_error("an option lacks its value");
            }
            options.public_keys.push_back(key_file);
            continue;
        }
        if (take(argc, argv, &i, "--installed", &options.installed, &missing) ||
            take(argc, argv, &i, "--root", &options.root, &missing) ||
            take(argc, argv, &i, "--cacert", &options.ca_file, &missing) ||
            take(argc, argv, &i, "--product-id", &options.product_id, &missing) ||
            take(argc, argv, &i, "--launcher-version", &options.launcher_version, &missing)) {
            if (missing) {
                return usage_error("an option lacks its value");
            }
            options.installed_given =
                options.installed_given || std::strcmp(argv[i - 1], "--installed") == 0;
            continue;
        }
        if (std::strcmp(argv[i], "--no-install-folder") == 0) {
            options.no_install_folder = true;
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            return usage_error((std::string("unknown option ") + argv[i]).c_str());
        } else if (options.manifest.empty()) {
            options.manifest = argv[i];
        } else {
            return usage_error("check takes one manifest");
        }
    }
    if (options.manifest.empty()) {
        return usage_error("check needs a manifest file or URL");
    }
    if (previous_folders.size() != previous_versions.size()) {
        return usage_error("each --previous needs its --previous-version");
    }
    for (size_t i = 0; i < previous_folders.size(); ++i) {
        options.bases.push_back({previous_folders[i], previous_versions[i]});
    }
    if (options.installed_given && options.no_install_folder) {
        return usage_error("--installed needs an install folder; drop --no-install-folder");
    }
    return run_check(options);
}

int diff_command(const char* base_path, const char* new_path, const char* out_path) {
    std::string base;
    std::string result;
    if (!read_file_bytes(base_path, &base) || !read_file_bytes(new_path, &result)) {
        std::fprintf(stderr, "velda-release: cannot read %s or %s\n", base_path, new_path);
        return 1;
    }
    auto bytes = [](const std::string& text) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
    std::vector<uint8_t> patch = make_delta_patch(bytes(base), bytes(result));
    if (!write_file_bytes(out_path, std::string(patch.begin(), patch.end()))) {
        std::fprintf(stderr, "velda-release: cannot write %s\n", out_path);
        return 1;
    }
    std::printf("%s: %zu bytes for %zu\n", out_path, patch.size(), result.size());
    return 0;
}

}  // namespace

}  // namespace velda

using namespace velda;

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "pack") == 0) {
        return pack_command(argc, argv);
    }
    if (argc >= 2 && std::strcmp(argv[1], "check") == 0) {
        return check_command(argc, argv);
    }
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "keygen") == 0) {
        if (argc != 4 || std::strcmp(argv[2], "--out") != 0) {
            return usage_error("keygen takes --out DIR");
        }
        return run_keygen(argv[3]);
    }
    if (argc >= 2 && std::strcmp(argv[1], "diff") == 0) {
        if (argc != 5) {
            return usage_error("diff takes BASE NEW OUT");
        }
        return diff_command(argv[2], argv[3], argv[4]);
    }
    return usage_error("name a command: pack, check, keygen or diff");
}
