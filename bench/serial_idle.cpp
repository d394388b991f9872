// Idle cost: CPU time of this process while it holds an open, quiet port on
// a pseudo-terminal for 60 s (main thread in its event loop, the port's two
// threads waiting). QSerialPort holding a port the same way is measured next.
//
//   bench_serial_idle [--seconds N] [--no-peers]
#include "serial/AfComPort.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#ifdef KELVOX_HAVE_QSERIALPORT
#include <QSerialPort>
#endif

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

} // namespace

int main(int argc, char** argv) {
    int seconds = 60;
    bool peers = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (a == "--no-peers")
            peers = false;
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
#ifdef KELVOX_HAVE_QSERIALPORT
    if (peers) {
        QSerialPort port;
        port.setPortName(QString::fromLocal8Bit(name));
        if (port.open(QIODevice::ReadWrite)) {
            QObject::connect(&port, &QSerialPort::readyRead, [&] { port.readAll(); });
            Idle(seconds, "QSerialPort");
            port.close();
        }
    }
#endif
    ::close(slave);
    ::close(master);
    return 0;
}
