#include "http_peer.h"

#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace http_test {

std::string Pattern(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<char>(((i % 251) * 7 + 3) % 251);
    }
    return out;
}

bool HttpPeer::Start() {
    char tmpl[] = "/tmp/kestrel_http_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        error = std::string("mkdtemp: ") + strerror(errno);
        return false;
    }
    dir_ = tmpl;
    return MakePki() && Spawn();
}

void HttpPeer::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (!dir_.empty()) {
        Run("rm -rf " + dir_);
        dir_.clear();
    }
}

bool HttpPeer::Run(const std::string& cmd) {
    int rc = system((cmd + " >/dev/null 2>&1").c_str());
    if (rc != 0) {
        error = "command failed (" + std::to_string(rc) + "): " + cmd;
    }
    return rc == 0;
}

bool HttpPeer::MakePki() {
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ca_file = dir_ + "/ca.pem";
    std::ofstream(dir_ + "/ext.cnf") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                        "basicConstraints=CA:FALSE\n";
    bool ok = Run("openssl req -x509" + ec + " -keyout " + dir_ + "/ca.key -out " + ca_file +
                  " -days 2 -subj /CN=Http-Test-CA") &&
              Run("openssl req" + ec + " -keyout " + dir_ + "/server.key -out " + dir_ +
                  "/server.csr -subj /CN=localhost") &&
              Run("openssl x509 -req -in " + dir_ + "/server.csr -CA " + ca_file + " -CAkey " +
                  dir_ + "/ca.key -CAcreateserial -days 2 -extfile " + dir_ + "/ext.cnf -out " +
                  dir_ + "/server.pem");
    std::stringstream pem;
    pem << std::ifstream(ca_file).rdbuf();
    ca = pem.str();
    return ok && !ca.empty();
}

bool HttpPeer::Spawn() {
    int out[2];
    if (pipe(out) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    std::vector<std::string> args = {"/usr/bin/python3", HTTP_TEST_SERVER, dir_ + "/server.pem",
                                     dir_ + "/server.key"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    int rc = posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        pid_ = -1;
        error = "cannot start " + args[0] + ": " + strerror(rc);
        return false;
    }
    // The server prints its ports once it listens; end of file means it died.
    FILE* f = fdopen(out[0], "r");
    unsigned plain = 0, tls = 0;
    bool ok = fscanf(f, "%u %u", &plain, &tls) == 2;
    fclose(f);
    if (!ok) {
        error = std::string("the HTTP test server did not start: ") + HTTP_TEST_SERVER;
        return false;
    }
    plain_port = static_cast<unsigned short>(plain);
    tls_port = static_cast<unsigned short>(tls);
    return true;
}

}  // namespace http_test
