// Small helpers for the port-layer tests: scratch directories and capture of
// what the library prints on standard output.
#ifndef TESTS_CLOUDLINK_PORT_PORT_TEST_UTIL_H
#define TESTS_CLOUDLINK_PORT_PORT_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace port_test {

// mkdtemp directory removed with its content at scope end.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/tether_port_XXXXXX";
        char* p = mkdtemp(tmpl);
        if (p == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        } else {
            path_ = p;
        }
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            if (system(cmd.c_str()) != 0) {
                fprintf(stderr, "could not remove %s\n", path_.c_str());
            }
        }
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Redirects file descriptor 1 into a temporary file while alive; text()
// returns everything written so far.
class StdoutCapture {
  public:
    StdoutCapture() {
        fflush(stdout);
        char tmpl[] = "/tmp/tether_out_XXXXXX";
        fd_ = mkstemp(tmpl);
        path_ = tmpl;
        saved_ = dup(1);
        dup2(fd_, 1);
    }
    ~StdoutCapture() {
        restore();
        close(fd_);
        unlink(path_.c_str());
    }
    std::string text() {
        fflush(stdout);
        return read_file(path_);
    }
    void restore() {
        if (saved_ >= 0) {
            fflush(stdout);
            dup2(saved_, 1);
            close(saved_);
            saved_ = -1;
        }
    }

  private:
    int fd_ = -1;
    int saved_ = -1;
    std::string path_;
};

}  // namespace port_test

#endif  // TESTS_CLOUDLINK_PORT_PORT_TEST_UTIL_H
