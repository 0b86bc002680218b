// A stand-in for a network printer's raw port: accepts connections on a
// loopback port and keeps every connection's bytes in DIR/conn-N.bin
// (written as they arrive, renamed from conn-N.part when it closes).
// With --drop-first BYTES the first connection is closed once that many
// bytes came in, as a printer that loses the connection; with --stall-first
// BYTES the first connection is no longer read from then on (and kept open,
// with a small receive buffer), as a printer that stopped taking data.
//
//   socket-sink PORT DIR [--drop-first BYTES | --stall-first BYTES]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

static void keep(int fd, const std::string& dir, int n, long drop_after, long stall_after) {
    std::string part = dir + "/conn-" + std::to_string(n) + ".part";
    FILE* out = fopen(part.c_str(), "wb");
    char buffer[65536];
    long total = 0;
    ssize_t got;
    while (out != nullptr && (got = read(fd, buffer, sizeof(buffer))) > 0) {
        fwrite(buffer, 1, (size_t)got, out);
        fflush(out);
        total += got;
        if (drop_after > 0 && total >= drop_after) break;
        while (stall_after > 0 && total >= stall_after) pause();
    }
    close(fd);
    if (out == nullptr) return;
    fclose(out);
    rename(part.c_str(), (dir + "/conn-" + std::to_string(n) + ".bin").c_str());
}

int main(int argc, char** argv) {
    bool stall = argc == 5 && strcmp(argv[3], "--stall-first") == 0;
    if ((argc != 3 && argc != 5) || (argc == 5 && !stall && strcmp(argv[3], "--drop-first") != 0)) {
        fprintf(stderr, "usage: %s PORT DIR [--drop-first BYTES | --stall-first BYTES]\n", argv[0]);
        return 2;
    }
    long bytes = argc == 5 ? atol(argv[4]) : 0;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (stall) {
        int small = 4096;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)atoi(argv[1]));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (sockaddr*)&address, sizeof(address)) != 0 || listen(listener, 8) != 0) {
        perror("socket-sink");
        return 1;
    }
    for (int n = 1;; n++) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread(keep, fd, std::string(argv[2]), n, n == 1 && !stall ? bytes : 0,
                    n == 1 && stall ? bytes : 0)
            .detach();
    }
}
