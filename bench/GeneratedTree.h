// SPDX-License-Identifier: MIT
// What the Linux benchmarks share: a directory of generated files standing
// for a machine, and a check that a survey of it reads what was made.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "LinuxHostReader.h"
#include "SimulatedDeviceTree.h"
#include "SurveyBench.h"

namespace nROOTSCOPE_1_0 {

// A new empty directory, in memory (/dev/shm) where there is such a file
// system, removed with everything in it when this goes.
class tGeneratedTree {
public:
    explicit tGeneratedTree(const char* name) {
        std::string pattern =
            std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
        pattern += std::string("/") + name + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary directory");
        }
        root_ = pattern;
    }
    ~tGeneratedTree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    tGeneratedTree(const tGeneratedTree&) = delete;
    tGeneratedTree& operator=(const tGeneratedTree&) = delete;

    const std::string& root() const { return root_; }

    // Each takes a path relative to the root.
    void write(const std::string& path, const std::string& text) const {
        const std::string where = root_ + "/" + path;
        const int fd = ::open(where.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::close(fd) != 0) {
            throw std::runtime_error("cannot write " + where);
        }
    }
    void directory(const std::string& path) const { std::filesystem::create_directories(root_ + "/" + path); }
    void link(const std::string& target, const std::string& path) const {
        if (::symlink(target.c_str(), (root_ + "/" + path).c_str()) != 0) {
            throw std::runtime_error("cannot link " + root_ + "/" + path);
        }
    }

private:
    std::string root_;
};

// True when rootscope's survey of the machine under `root` succeeds, its
// report holds each of `expected` and none of `unexpected`, and the
// services are left clean.
inline bool surveyGives(const std::string& root, std::initializer_list<const char*> expected,
                        std::initializer_list<const char*> unexpected = {}) {
    tLinuxHostDeviceServices services(root);
    std::string report;
    {
        tEmulationScope scope(services);
        report = surveyReport();
    }
    if (std::getenv("ROOTSCOPE_BENCH_SHOW_REPORT") != nullptr) {
        std::fputs(report.c_str(), stderr);
    }
    for (const char* text : expected) {
        if (report.find(text) == std::string::npos) {
            return false;
        }
    }
    for (const char* text : unexpected) {
        if (report.find(text) != std::string::npos) {
            return false;
        }
    }
    return !report.empty() && services.leakReport().empty();
}

}  // namespace nROOTSCOPE_1_0
