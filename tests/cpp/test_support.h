#pragma once
// Helpers shared by the C++ test files.

#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

namespace plintrove::test_support {

// A fresh directory under the system's temporary directory, removed with its contents
// (even after a test took its write permission away).
class TempDir {
public:
    TempDir() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "plintrove-test-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const {
        return (std::filesystem::path(path_) / name).string();
    }

private:
    std::string path_;
};

// The message of the E that `fn` throws, or "<no error>".
template <typename E>
std::string message_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const E& e) {
        return e.what();
    }
    return "<no error>";
}

}  // namespace plintrove::test_support
