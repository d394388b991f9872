/* The floor for bench/footprint: the job of the headless program done by
 * the least a C programmer would write, in one thread.
 *
 * It reads the thermometer's lines from a serial device with termios
 * (9600 8N1, raw), publishes the temperature to an MQTT broker with
 * libmosquitto when its text changes and at most every 5 s (retained),
 * sends the latest value every 5 s with an HTTP/1.0 GET over a plain
 * socket and appends a temperature log line per send. One poll() waits for
 * the device, the broker's socket and the next send: nothing wakes it but
 * those.
 *
 * usage: bench_floor DEVICE HOST PORT PATH BROKER_PORT TOPIC LOG
 * (the value is appended to PATH, as the program appends it to its URL)
 */
#include <errno.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <arpa/inet.h>
#include <time.h>
#include <unistd.h>

enum { kPeriodMs = 5000, kPublishMs = 5000 };

static long long NowMs(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static int OpenPort(const char* device) {
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return -1;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd, TCSANOW, &tio) == 0 ? fd : -1;
}

/* One GET, its answer read to the end and dropped; 20 s at most. */
static int HttpGet(const char* host, int port, const char* path, const char* value) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct timeval limit = {20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons(port)};
    inet_pton(AF_INET, host, &addr.sin_addr);
    char request[512];
    const int len = snprintf(request, sizeof request, "GET %s%s HTTP/1.0\r\nHost: %s\r\n\r\n",
                             path, value, host);
    int ok = connect(fd, (struct sockaddr*)&addr, sizeof addr) == 0 &&
             write(fd, request, len) == len;
    char answer[1024];
    ssize_t n;
    int first = 1;
    while (ok && (n = read(fd, answer, sizeof answer)) > 0) {
        if (first && (n < 12 || memcmp(answer + 9, "200", 3) != 0))
            ok = 0;
        first = 0;
    }
    close(fd);
    return ok ? 0 : -1;
}

int main(int argc, char** argv) {
    if (argc != 8) {
        fprintf(stderr, "usage: bench_floor DEVICE HOST PORT PATH BROKER_PORT TOPIC LOG\n");
        return 2;
    }
    const char *host = argv[2], *path = argv[4], *log_path = argv[7];
    const int port = atoi(argv[3]);
    char topic[256];
    snprintf(topic, sizeof topic, "%s/temperature", argv[6]);

    const int fd = OpenPort(argv[1]);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    mosquitto_lib_init();
    struct mosquitto* mosq = mosquitto_new(NULL, true, NULL);
    if (!mosq || mosquitto_connect(mosq, "127.0.0.1", atoi(argv[5]), 30) != MOSQ_ERR_SUCCESS) {
        fprintf(stderr, "bench_floor: cannot connect to the broker\n");
        return 1;
    }

    char line[64], published[16] = "", text[16] = "-100.0";
    size_t used = 0;
    long long last_publish = -kPublishMs, next_send = NowMs() + kPeriodMs;
    for (;;) {
        long long wait = next_send - NowMs();
        struct pollfd fds[2] = {{fd, POLLIN, 0},
                                {mosquitto_socket(mosq),
                                 POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0), 0}};
        if (poll(fds, 2, wait < 0 ? 0 : (int)wait) < 0 && errno != EINTR)
            return 1;
        if (fds[0].revents & POLLIN) {
            char buf[256];
            const ssize_t n = read(fd, buf, sizeof buf);
            for (ssize_t i = 0; i < n; i++) {
                if (buf[i] != '\r') {
                    if (used < sizeof line - 1)
                        line[used++] = buf[i];
                    continue;
                }
                line[used] = '\0';
                used = 0;
                char* end;
                const double value = strtod(line, &end);
                if (end == line || (*end != 'C' && *end != '\0')) {
                    strcpy(text, "-100.0");
                    continue;
                }
                snprintf(text, sizeof text, "%.1f", value);
                const long long now = NowMs();
                if (strcmp(text, published) != 0 && now - last_publish >= kPublishMs) {
                    mosquitto_publish(mosq, NULL, topic, (int)strlen(text), text, 0, true);
                    strcpy(published, text);
                    last_publish = now;
                }
            }
        }
        if (fds[1].revents & POLLIN)
            mosquitto_loop_read(mosq, 1);
        if (fds[1].revents & POLLOUT)
            mosquitto_loop_write(mosq, 1);
        mosquitto_loop_misc(mosq);
        if (NowMs() >= next_send) {
            next_send += kPeriodMs;
            if (HttpGet(host, port, path, text) != 0)
                fprintf(stderr, "bench_floor: send failed\n");
            FILE* log = fopen(log_path, "a");
            if (log) {
                const time_t t = time(NULL);
                char stamp[32];
                strftime(stamp, sizeof stamp, "%d.%m.%Y\t%H:%M:%S", localtime(&t));
                fprintf(log, "%s\t%s\r\n", stamp, text);
                fclose(log);
            }
        }
    }
}
