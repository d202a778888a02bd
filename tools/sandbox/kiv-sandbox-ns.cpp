// kiv-sandbox-ns: builds the simulated device of a sandbox (its own network, mount, PID and UTS
// namespaces, kept alive by a reaping init) and runs programs inside that device.
//
//   kiv-sandbox-ns init <sandbox-dir>
//   kiv-sandbox-ns enter <sandbox-dir> [--detach <pidfile>] [--setenv KEY=VALUE]... -- <program> [args...]

#include "SandboxEnv.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *const DevicePath = "/usr/sbin:/usr/bin:/sbin:/bin";

[[noreturn]] void die(const std::string &message)
{
    fprintf(stderr, "kiv-sandbox-ns: %s\n", message.c_str());
    _exit(1);
}

std::string failed(const std::string &what)
{
    return what + ": " + strerror(errno);
}

struct NsId
{
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const NsId &o) const { return dev == o.dev && ino == o.ino; }
    bool operator!=(const NsId &o) const { return !(*this == o); }
};

bool nsOfPath(const std::string &path, NsId *id)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    *id = {st.st_dev, st.st_ino};
    return true;
}

bool nsOfFd(int fd, NsId *id)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    *id = {st.st_dev, st.st_ino};
    return true;
}

// The machine's own namespaces: those of PID 1, or of the kernel threads where PID 1 is hidden.
bool rootNs(const char *type, NsId *id)
{
    return nsOfPath(std::string("/proc/1/ns/") + type, id) || nsOfPath(std::string("/proc/2/ns/") + type, id);
}

int openOrDie(const std::string &path, int flags)
{
    const int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        die(failed("cannot open " + path));
    return fd;
}

struct Sandbox
{
    std::string dir;
    std::map<std::string, std::string> env;

    std::string get(const std::string &key) const
    {
        const auto it = env.find(key);
        if (it == env.end() || it->second.empty())
            die("sandbox " + dir + " has no " + key);
        return it->second;
    }
};

Sandbox loadSandbox(const std::string &dir)
{
    std::string error;
    Sandbox sb{dir, SandboxEnv::read(dir + "/env", &error)};
    if (!error.empty())
        die(error);
    return sb;
}

std::string mountError(const std::string &what)
{
    return failed("mounting " + what);
}

std::string bind(const std::string &from, const std::string &to)
{
    if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return mountError(from + " on " + to);
    return {};
}

std::string makeDirs(const std::string &path)
{
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return failed("creating " + part);
    }
    return {};
}

std::string makeLink(const std::string &target, const std::string &link)
{
    if (std::string err = makeDirs(link.substr(0, link.rfind('/'))); !err.empty())
        return err;
    if (symlink(target.c_str(), link.c_str()) != 0)
        return failed("linking " + link);
    return {};
}

std::string makeFile(const std::string &path)
{
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return failed("creating " + path);
    close(fd);
    return {};
}

// Upper layers of the device's private /etc, /usr and /var: the resolver link, the test doubles and
// the DHCP helper script at the paths the daemon uses. They live on a tmpfs of the device only.
std::string buildLayers(const Sandbox &sb, const std::string &layers)
{
    if (mount("tmpfs", layers.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0)
        return mountError("layers on " + layers);
    for (const char *top : {"etc", "usr", "var"}) {
        for (const char *sub : {"upper", "work"}) {
            if (std::string err = makeDirs(layers + "/" + top + "/" + sub); !err.empty())
                return err;
        }
    }
    const std::vector<std::pair<std::string, std::string>> links = {
        {sb.dir + "/resolv.conf", layers + "/etc/upper/resolv.conf"},
        {sb.dir, layers + "/etc/upper/kiv-sandbox"},
        {sb.get("SB_HOSTAPD_DOUBLE"), layers + "/usr/upper/sbin/hostapd"},
        {sb.get("SB_DNSD_DOUBLE"), layers + "/usr/upper/sbin/dnsd"},
        {sb.get("SB_IW_DOUBLE"), layers + "/usr/upper/sbin/iw"},
        {sb.get("SB_UDHCPC_SCRIPT"), layers + "/usr/upper/share/kivd/kivd_udhcpc.sh"},
    };
    for (const auto &[target, link] : links) {
        if (std::string err = makeLink(target, link); !err.empty())
            return err;
    }
    for (const char *top : {"etc", "usr", "var"}) {
        const std::string base = layers + "/" + top;
        const std::string options = std::string("lowerdir=/") + top + ",upperdir=" + base + "/upper,workdir=" + base + "/work";
        if (mount("overlay", (std::string("/") + top).c_str(), "overlay", 0, options.c_str()) != 0)
            return mountError(std::string("overlay on /") + top);
    }
    return {};
}

// Runs as PID 1 of the device: mounts the device's own view of the file system.
std::string buildDevice(const Sandbox &sb, const std::vector<std::pair<std::string, int>> &peers)
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0)
        return mountError("/ as slave");
    // Opened in the device's mount namespace so that it can be bound again once /run is replaced.
    const int dirFd = open(sb.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return failed("opening " + sb.dir);
    // Source and build trees under /tmp stay visible at their paths once the device has its own /tmp.
    std::vector<std::pair<std::string, int>> shared;
    std::istringstream dirs(sb.env.count("SB_SHARED_DIRS") ? sb.env.at("SB_SHARED_DIRS") : std::string());
    for (std::string path; std::getline(dirs, path, ':');) {
        if (path.compare(0, 5, "/tmp/") != 0)
            continue;
        const int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return failed("opening " + path);
        shared.emplace_back(path, fd);
    }
    if (std::string err = buildLayers(sb, sb.dir + "/layers"); !err.empty())
        return err;
    if (std::string err = bind(sb.dir + "/tmp", "/tmp"); !err.empty())
        return err;
    for (const auto &[path, fd] : shared) {
        std::string err = makeDirs(path);
        if (err.empty())
            err = bind("/proc/self/fd/" + std::to_string(fd), path);
        if (!err.empty())
            return err;
    }
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        return mountError("/proc");
    umount2("/sys", MNT_DETACH);
    if (mount("sysfs", "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        return mountError("/sys");
    if (std::string err = bind(sb.dir + "/sysmodule", "/sys/module"); !err.empty())
        return err;
    // Namespaces of other sandboxes must not be pinned by this device's copy of the mount table.
    umount2("/run/netns", MNT_DETACH);
    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0)
        return mountError("/run");
    if (std::string err = makeDirs("/run/netns"); !err.empty())
        return err;
    for (const auto &[name, fd] : peers) {
        const std::string target = "/run/netns/" + name;
        std::string err = makeFile(target);
        if (err.empty())
            err = bind("/proc/self/fd/" + std::to_string(fd), target);
        if (!err.empty())
            return err;
    }
    if (std::string err = makeDirs(sb.dir); !err.empty())
        return err;
    if (std::string err = bind("/proc/self/fd/" + std::to_string(dirFd), sb.dir); !err.empty())
        return err;
    if (std::string err = makeLink(sb.dir + "/bus", "/run/dbus/system_bus_socket"); !err.empty())
        return err;
    // libudev monitors only subscribe to udev's group when a udev control socket seems present.
    if (std::string err = makeDirs("/run/udev"); !err.empty())
        return err;
    if (std::string err = makeFile("/run/udev/control"); !err.empty())
        return err;
    const std::string host = sb.get("SB_HOSTNAME");
    if (sethostname(host.c_str(), host.size()) != 0)
        return failed("setting the host name");
    return {};
}

int reapUntilTerminated()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
        siginfo_t info;
        const int sig = sigwaitinfo(&set, &info);
        if (sig == SIGCHLD) {
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            continue;
        }
        if (sig < 0)
            continue;
        // Give every program of the device two seconds to end; the kernel kills the rest with us.
        kill(-1, SIGTERM);
        const time_t deadline = time(nullptr) + 2;
        while (time(nullptr) < deadline) {
            const pid_t pid = waitpid(-1, nullptr, WNOHANG);
            if (pid < 0)
                break;
            if (pid == 0)
                usleep(20000);
        }
        return 0;
    }
}

void writePidFile(const std::string &path, pid_t pid)
{
    const std::string tmp = path + ".new";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        die(failed("cannot write " + tmp));
    fprintf(f, "%d\n", pid);
    fclose(f);
    if (rename(tmp.c_str(), path.c_str()) != 0)
        die(failed("cannot rename " + tmp));
}

int runInit(const std::string &dir)
{
    const Sandbox sb = loadSandbox(dir);
    NsId root, caller, device;
    if (!rootNs("net", &root) || !nsOfPath("/proc/self/ns/net", &caller))
        die(failed("cannot identify the machine's network namespace"));
    const std::string devicePath = "/run/netns/" + sb.get("SB_NS_DEVICE");
    const int deviceFd = openOrDie(devicePath, O_RDONLY);
    if (!nsOfFd(deviceFd, &device) || device == root || device == caller)
        die("refusing: " + devicePath + " is not a network namespace of its own");
    std::vector<std::pair<std::string, int>> peers;
    for (const char *key : {"SB_NS_WIRED", "SB_NS_WIFI", "SB_NS_STATION"}) {
        const std::string name = sb.get(key);
        peers.emplace_back(name, openOrDie("/run/netns/" + name, O_RDONLY));
    }

    if (setns(deviceFd, CLONE_NEWNET) != 0)
        die(failed("cannot enter " + devicePath));
    if (unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWUTS) != 0)
        die(failed("cannot create the device namespaces"));
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        die(failed("pipe"));
    const pid_t pid = fork();
    if (pid < 0)
        die(failed("fork"));
    if (pid == 0) {
        close(ready[0]);
        const int log = open((dir + "/init.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (log >= 0 && null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
        }
        setsid();
        std::string err = buildDevice(sb, peers);
        NsId self;
        if (err.empty() && (!nsOfPath("/proc/self/ns/net", &self) || self != device))
            err = "the device init is not in the device's network namespace";
        if (!err.empty()) {
            fprintf(stderr, "kiv-sandbox-ns: device set-up failed: %s\n", err.c_str());
            _exit(1);
        }
        fprintf(stderr, "kiv-sandbox-ns: device %s ready\n", sb.get("SB_NS_DEVICE").c_str());
        if (write(ready[1], "1", 1) != 1)
            _exit(1);
        close(ready[1]);
        _exit(reapUntilTerminated());
    }
    close(ready[1]);
    char c = 0;
    if (read(ready[0], &c, 1) != 1) {
        waitpid(pid, nullptr, 0);
        die("device set-up failed, see " + dir + "/init.log");
    }
    writePidFile(dir + "/init.pid", pid);
    printf("%d\n", pid);
    return 0;
}

pid_t g_child = 0;

void forwardSignal(int sig)
{
    if (g_child > 0)
        kill(g_child, sig);
}

const int ForwardedSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2};

struct EnterOptions
{
    std::string pidFile;
    std::vector<std::string> env;
    std::vector<char *> argv;
};

int exitLikeChild(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    const int sig = WTERMSIG(status);
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    return 128 + sig;
}

[[noreturn]] void execInDevice(const Sandbox &sb, const EnterOptions &o, const NsId &device, const NsId &root, int statusFd)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    NsId self;
    int code = -1;
    if (!nsOfPath("/proc/self/ns/net", &self) || self != device || self == root) {
        fprintf(stderr, "kiv-sandbox-ns: refusing to start %s outside the sandbox's device namespace\n", o.argv[0]);
    } else {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", sb.get("DBUS_SYSTEM_BUS_ADDRESS").c_str(), 1);
        setenv("PATH", DevicePath, 1);
        for (const std::string &kv : o.env)
            putenv(const_cast<char *>(kv.c_str()));
        for (int sig : ForwardedSignals)
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(o.argv[0], o.argv.data());
        code = errno;
    }
    if (write(statusFd, &code, sizeof code) != sizeof code)
        _exit(126);
    _exit(code < 0 ? 126 : 127);
}

// What a background launcher reports once its program runs (code 0) or failed to start.
struct Launched
{
    pid_t pid;
    int code;
};

// Forks the program into the device, forwards signals to it and ends the way it ends.
int launch(const Sandbox &sb, const EnterOptions &o, const NsId &device, const NsId &root, int reportFd)
{
    struct sigaction sa = {};
    sa.sa_handler = forwardSignal;
    sigemptyset(&sa.sa_mask);
    sigset_t forwarded;
    sigemptyset(&forwarded);
    for (int sig : ForwardedSignals) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&forwarded, sig);
    }
    // Signals arriving before the child is known are held back, then passed on.
    sigprocmask(SIG_BLOCK, &forwarded, nullptr);
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0)
        die(failed("pipe"));
    const pid_t child = fork();
    if (child < 0)
        die(failed("fork"));
    if (child == 0) {
        close(status[0]);
        execInDevice(sb, o, device, root, status[1]);
    }
    g_child = child;
    sigprocmask(SIG_UNBLOCK, &forwarded, nullptr);
    close(status[1]);
    int code = 0;
    ssize_t n;
    do {
        n = read(status[0], &code, sizeof code);
    } while (n < 0 && errno == EINTR);
    const Launched launched{child, n == sizeof code ? (code > 0 ? 127 : 126) : 0};
    if (reportFd >= 0) {
        if (write(reportFd, &launched, sizeof launched) != sizeof launched)
            kill(child, SIGKILL);
        close(reportFd);
    }
    if (launched.code != 0) {
        waitpid(child, nullptr, 0);
        if (code > 0)
            fprintf(stderr, "kiv-sandbox-ns: cannot run %s: %s\n", o.argv[0], strerror(code));
        return launched.code;
    }
    int st = 0;
    while (waitpid(child, &st, 0) < 0) {
        if (errno != EINTR)
            die(failed("waitpid"));
    }
    return exitLikeChild(st);
}

int runEnter(const std::string &dir, EnterOptions o)
{
    const Sandbox sb = loadSandbox(dir);
    std::string text;
    if (!SandboxEnv::readFile(dir + "/init.pid", &text))
        die("sandbox " + dir + " has no running device");
    const std::string initPid = std::to_string(atoi(text.c_str()));
    NsId root, rootPid, rootMnt, device, targetNet, targetPid, targetMnt;
    if (!rootNs("net", &root) || !rootNs("pid", &rootPid) || !rootNs("mnt", &rootMnt))
        die(failed("cannot identify the machine's namespaces"));
    if (!nsOfPath("/run/netns/" + sb.get("SB_NS_DEVICE"), &device))
        die(failed("sandbox device namespace " + sb.get("SB_NS_DEVICE") + " is missing"));
    const std::string base = "/proc/" + initPid + "/ns/";
    const int netFd = openOrDie(base + "net", O_RDONLY);
    const int utsFd = openOrDie(base + "uts", O_RDONLY);
    const int pidFd = openOrDie(base + "pid", O_RDONLY);
    const int mntFd = openOrDie(base + "mnt", O_RDONLY);
    if (!nsOfFd(netFd, &targetNet) || !nsOfFd(pidFd, &targetPid) || !nsOfFd(mntFd, &targetMnt)
        || targetNet != device || targetNet == root || targetPid == rootPid || targetMnt == rootMnt) {
        die(std::string("refusing to start ") + o.argv[0] + ": process " + initPid + " is not the init of device "
            + sb.get("SB_NS_DEVICE"));
    }
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        strcpy(cwd, "/");
    const auto enterDevice = [&] {
        if (setns(netFd, CLONE_NEWNET) != 0 || setns(utsFd, CLONE_NEWUTS) != 0 || setns(pidFd, CLONE_NEWPID) != 0
            || setns(mntFd, CLONE_NEWNS) != 0) {
            die(failed("cannot enter device " + sb.get("SB_NS_DEVICE")));
        }
        if (chdir(cwd) != 0 && chdir("/") != 0)
            die(failed("chdir"));
    };
    if (o.pidFile.empty()) {
        enterDevice();
        return launch(sb, o, device, root, -1);
    }

    // A detached program keeps a waiting parent of its own in the background, outside the device's
    // PID namespace, so that it is reaped at once when it ends.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        die(failed("pipe"));
    const pid_t keeper = fork();
    if (keeper < 0)
        die(failed("fork"));
    if (keeper == 0) {
        close(report[0]);
        setsid();
        enterDevice();
        _exit(launch(sb, o, device, root, report[1]));
    }
    close(report[1]);
    Launched launched;
    if (read(report[0], &launched, sizeof launched) != sizeof launched || launched.code != 0) {
        waitpid(keeper, nullptr, 0);
        return 127;
    }
    writePidFile(o.pidFile, launched.pid);
    return 0;
}

[[noreturn]] void usage()
{
    fprintf(stderr,
            "usage: kiv-sandbox-ns init <sandbox-dir>\n"
            "       kiv-sandbox-ns enter <sandbox-dir> [--detach <pidfile>] [--setenv KEY=VALUE]... -- <program> [args...]\n");
    _exit(2);
}

int run(int argc, char **argv)
{
    if (argc < 3)
        usage();
    const std::string command = argv[1];
    const std::string dir = argv[2];
    if (command == "init" && argc == 3)
        return runInit(dir);
    if (command != "enter")
        usage();
    EnterOptions o;
    int i = 3;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--detach" && i + 1 < argc)
            o.pidFile = argv[++i];
        else if (arg == "--setenv" && i + 1 < argc && strchr(argv[i + 1], '='))
            o.env.push_back(argv[++i]);
        else
            usage();
    }
    if (i >= argc)
        usage();
    o.argv.assign(argv + i, argv + argc);
    o.argv.push_back(nullptr);
    return runEnter(dir, std::move(o));
}

} // namespace

// Leaves without exit handlers: once children live in another PID namespace, exit-time tools
// such as a leak checker's tracer can no longer attach and would hang the process.
int main(int argc, char **argv)
{
    const int code = run(argc, argv);
    fflush(stdout);
    _exit(code);
}
