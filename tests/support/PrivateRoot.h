#pragma once
// A private system root for one test: a temporary folder named by KESTRINE_ROOT while the test
// runs. Services started in it are stopped and the folder removed when the test ends.
#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace kestrine::test {

class PrivateRoot {
public:
    PrivateRoot();
    ~PrivateRoot();
    PrivateRoot(const PrivateRoot&) = delete;
    PrivateRoot& operator=(const PrivateRoot&) = delete;

    const std::filesystem::path& Path() const { return dir_.Path(); }
    std::filesystem::path operator/(const std::string& name) const { return dir_ / name; }

    // Copies the built driver into the system directory as QDDRIVER.sys and makes the store when
    // there is none, as the installation step does (the application never makes one).
    void InstallDriverImage(const std::filesystem::path& builtDriver) const;
    // Makes the store (empty) when there is none, as the installation step does.
    void MakeStore() const;
    // Makes the registry store read-only (creating it first), as for a user without rights.
    void MakeRegistryReadOnly() const;
    // Stops every service started from this root (SIGTERM, then waits for it to end).
    void StopServices() const;

private:
    TempDir dir_;
    std::string previousRoot_;
    bool hadRoot_ = false;
};

}  // namespace kestrine::test
