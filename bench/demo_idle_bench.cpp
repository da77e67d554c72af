// Idle CPU, wake-ups and resident memory of kestrel_demo: a local cloud
// (devcloud) on a free port, the demo online against it, then its /proc
// figures sampled over a quiet period (KESTREL_IDLE_SECONDS, default 10). The
// camera's live replayers keep pacing their files the whole time, so this is
// the cost of a camera that is online and ready, not of a sleeping process.
// Wake-ups are context switches (voluntary and not) summed over the threads;
// the per-thread rates go to stderr, and those of the main thread and the
// cloud link's threads are counted apart.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

const char kPk[] = "benchIdlePK";
const char kDn[] = "idle_cam";
const char kDs[] = "benchIdleSecret0123456789abcdef";

std::string Run(const std::string& cmd) {
    FILE* f = popen(cmd.c_str(), "r");
    if (!f)
        throw std::runtime_error("cannot run: " + cmd);
    std::string out;
    char buf[512];
    while (fgets(buf, sizeof(buf), f))
        out += buf;
    if (pclose(f) != 0)
        throw std::runtime_error("failed: " + cmd + "\n" + out);
    return out;
}

std::string Field(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            return line.substr(key.size() + 1);
    }
    throw std::runtime_error("no " + key + "= in:\n" + text);
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// utime + stime of the process, in clock ticks.
long long CpuTicks(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        throw std::runtime_error("unreadable /proc stat");
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // Fields after the name: state is field 3; utime and stime are 14 and 15.
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14)
            utime = std::stoll(field);
        if (i == 15)
            stime = std::stoll(field);
    }
    return utime + stime;
}

long StatusKib(pid_t pid, const std::string& key) {
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

// Context switches of every thread of the process, by thread id, with the
// thread's name.
struct ThreadSwitches {
    std::string name;
    long long switches = 0;
};
std::map<std::string, ThreadSwitches> Switches(pid_t pid) {
    std::map<std::string, ThreadSwitches> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::istringstream in(ReadFile(dir + "/" + e->d_name + "/status"));
        ThreadSwitches t;
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 5, "Name:") == 0)
                t.name = line.substr(line.find_first_not_of(" \t", 5));
            if (line.find("ctxt_switches:") != std::string::npos)
                t.switches += std::stoll(line.substr(line.find(':') + 1));
        }
        out[e->d_name] = t;
    }
    closedir(d);
    return out;
}

bool CloudLinkThread(const std::string& name, bool main_thread) {
    return main_thread || name == "cm_yield" || name.compare(0, 6, "tether") == 0;
}

class Cloud {
  public:
    Cloud() {
        char tmpl[] = "/tmp/kestrel-idle-XXXXXX";
        if (!mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        home_ = tmpl;
        cli_ = std::string("/usr/bin/python3 ") + DEVCLOUD_PATH + " --home " + home_ + " ";
        std::string up = Run(cli_ + "up --port 0");
        port_ = Field(up, "port");
        ca_ = Field(up, "ca");
        Run(cli_ + "device add " + kPk + " " + kDn + " " + kDs);
    }
    ~Cloud() {
        if (system((cli_ + "down >/dev/null").c_str()) != 0)
            fprintf(stderr, "devcloud down failed in %s\n", home_.c_str());
        if (system(("rm -rf " + home_).c_str()) != 0)
            fprintf(stderr, "cannot remove %s\n", home_.c_str());
    }
    std::string home_, cli_, port_, ca_;
};

class Demo {
  public:
    explicit Demo(const Cloud& cloud) : log_(cloud.home_ + "/kestrel_demo.log") {
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || chdir(cloud.home_.c_str()) != 0)
                _exit(127);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(KESTREL_DEMO_PATH, "kestrel_demo", "-p", kPk, "-n", kDn, "-s", kDs, "-l", "4",
                  "-H", "127.0.0.1", "-P", cloud.port_.c_str(), "-C", cloud.ca_.c_str(), "-m",
                  KESTREL_MEDIA_DIR, static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 300; ++i) {
            if (ReadFile(log_).find("Cloud Connected") != std::string::npos)
                return;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        Stop();
        throw std::runtime_error("kestrel_demo did not come online; see its output:\n" +
                                 ReadFile(log_));
    }
    ~Demo() { Stop(); }
    void Stop() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 150 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (kill(pid_, 0) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }

  private:
    std::string log_;
    pid_t pid_ = -1;
};

void BM_DemoIdle(benchmark::State& state) {
    const char* env = getenv("KESTREL_IDLE_SECONDS");
    const int seconds = env && atoi(env) > 0 ? atoi(env) : 10;
    try {
        Cloud cloud;
        Demo demo(cloud);
        // Let the start-up reports and the first replay cycles settle.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double ticks_per_s = static_cast<double>(sysconf(_SC_CLK_TCK));
        for (auto _ : state) {
            auto t0 = std::chrono::steady_clock::now();
            long long c0 = CpuTicks(demo.pid());
            auto s0 = Switches(demo.pid());
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            long long c1 = CpuTicks(demo.pid());
            auto s1 = Switches(demo.pid());
            double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            state.SetIterationTime(wall);
            state.counters["cpu_pct"] = 100.0 * (c1 - c0) / ticks_per_s / wall;
            double all = 0, link = 0;
            for (const auto& t : s1) {
                auto before = s0.find(t.first);
                long long n =
                    t.second.switches - (before == s0.end() ? 0 : before->second.switches);
                bool main_thread = t.first == std::to_string(demo.pid());
                fprintf(stderr, "  thread %-16s %8.1f wake-ups/s\n", t.second.name.c_str(),
                        n / wall);
                all += n / wall;
                if (CloudLinkThread(t.second.name, main_thread))
                    link += n / wall;
            }
            state.counters["wakeups_per_s"] = all;
            state.counters["cloudlink_wakeups_per_s"] = link;
        }
        state.counters["rss_kib"] = StatusKib(demo.pid(), "VmRSS");
        state.counters["rss_peak_kib"] = StatusKib(demo.pid(), "VmHWM");
        state.counters["threads"] = StatusKib(demo.pid(), "Threads");
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}
BENCHMARK(BM_DemoIdle)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
