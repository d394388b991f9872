// Idle cost: CPU time of this process while it holds an open, quiet port on
// a pseudo-terminal for 60 s (main thread in its event loop, the port's two
// threads waiting). QSerialPort holding a port the same way is measured next.
// With --program, each given kelvox executable is then measured whole: started
// with COM1 on a quiet pty and AutoConnect, its threads' wake-ups counted.
//
//   bench_serial_idle [--seconds N] [--no-peers] [--program PATH [--headless]]...
#include "serial/AfComPort.h"

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <QSerialPort>

namespace {

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long ContextSwitches() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_nvcsw + u.ru_nivcsw;
}

void Idle(int seconds, const char* name) {
    QTimer done;
    done.setSingleShot(true);
    QObject::connect(&done, &QTimer::timeout, [] { QCoreApplication::quit(); });
    const double cpu0 = CpuSeconds();
    const long sw0 = ContextSwitches();
    done.start(seconds * 1000);
    QCoreApplication::exec();
    const double cpu = CpuSeconds() - cpu0;
    const long sw = ContextSwitches() - sw0;
    std::printf("%-34s %7.1f ms CPU in %d s = %.4f %% of one core, %.1f wake-ups/s\n", name,
                cpu * 1000.0, seconds, cpu / seconds * 100.0, static_cast<double>(sw) / seconds);
    std::fflush(stdout);
}

// Context switches of every thread of process pid so far.
long ProcessSwitches(pid_t pid) {
    long total = 0;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

// The whole program on a quiet, open port: wake-ups per second of all its
// threads over `seconds`, after a few seconds to start and connect.
void IdleProgram(const std::string& exe, bool headless, int seconds) {
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) < 0)
        return;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("kelvox-idle-program-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "ports");
    std::filesystem::create_symlink(name, dir / "ports" / "COM1");
    std::ofstream(dir / "kelvox.ini") << "[Data]\r\nAutoConnect=True\r\nCOM=1\r\n";
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("KELVOX_HOME", dir.c_str(), 1);
        ::setenv("KELVOX_PORT_DIR", (dir / "ports").c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (headless)
            ::execl(exe.c_str(), exe.c_str(), "--headless", static_cast<char*>(nullptr));
        else
            ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    // The figure only counts when the program holds the port.
    bool holds = false;
    std::error_code ec;
    const std::filesystem::path fds = "/proc/" + std::to_string(child) + "/fd";
    for (const auto& fd : std::filesystem::directory_iterator(fds, ec))
        holds = holds || std::filesystem::read_symlink(fd.path(), ec) == name;
    const long before = ProcessSwitches(child);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long after = ProcessSwitches(child);
    ::kill(child, SIGTERM);
    for (int i = 0; i < 100 && ::waitpid(child, nullptr, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (::waitpid(child, nullptr, WNOHANG) == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    std::filesystem::remove_all(dir);
    ::close(slave);
    ::close(master);
    std::printf("%-34s %s%s: %.1f wake-ups/s over %d s%s\n", "whole program", exe.c_str(),
                headless ? " --headless" : "", static_cast<double>(after - before) / seconds,
                seconds, holds ? "" : " (PORT NOT OPEN)");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    bool peers = true;
    std::vector<std::pair<std::string, bool>> programs;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (a == "--no-peers")
            peers = false;
        else if (a == "--program" && i + 1 < argc)
            programs.emplace_back(argv[++i], false);
        else if (a == "--headless" && !programs.empty())
            programs.back().second = true;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) < 0) {
        std::perror("openpty");
        return 1;
    }
    const std::string dir =
        std::filesystem::temp_directory_path() / ("kelvox-idle-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(name, dir + "/COM1");
    ::setenv("KELVOX_PORT_DIR", dir.c_str(), 1);

    std::printf("open, quiet port on a pseudo-terminal\n");
    {
        TAfComPort com;
        com.SetComNumber(1);
        com.SetBaudRate(br9600);
        com.OnDataRecived = [&](QObject*, std::int32_t) { com.ReadString(); };
        com.Loaded();
        com.Open();
        Idle(seconds, "kelvox component");
        com.Close();
    }
    std::filesystem::remove_all(dir);
    if (peers) {
        QSerialPort port;
        port.setPortName(QString::fromLocal8Bit(name));
        if (port.open(QIODevice::ReadWrite)) {
            QObject::connect(&port, &QSerialPort::readyRead, [&] { port.readAll(); });
            Idle(seconds, "QSerialPort");
            port.close();
        }
    }
    ::close(slave);
    ::close(master);
    for (const auto& [exe, headless] : programs)
        IdleProgram(exe, headless, seconds);
    return 0;
}
