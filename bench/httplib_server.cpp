// Minimal cpp-httplib server used only as a comparison point by the benchmark.
#include <httplib.h>

#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc < 2)
        return 2;
    const int port = std::atoi(argv[1]);
    const char* docroot = argc > 2 ? argv[2] : nullptr;
    httplib::Server server;
    server.set_keep_alive_max_count(1000000);
    server.set_tcp_nodelay(true);
    if (docroot)
        server.set_mount_point("/files", docroot);
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{\"action\":\"open\",\"status\":true}", "application/json; charset=UTF-8");
    });
    return server.listen("127.0.0.1", port) ? 0 : 1;
}
