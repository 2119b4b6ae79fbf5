#pragma once

class QSettings;

namespace quillon {

// What every connection of a listener obeys, read once from the listener
// group so that the I/O threads never touch the shared settings object.
struct HttpConnectionSettings
{
    int maxRequestSize = 16000;
    int maxMultiPartSize = 1000000;
    int maxMultiParts = 100;
    // Milliseconds. A request's first byte after the connection opened or
    // the previous answer left ("keepAliveTimeout"), its whole head from
    // that byte on ("headTimeout"), each gap in its body ("bodyTimeout"),
    // and each stall of the output while a peer does not read
    // ("writeTimeout"). Each defaults to "readTimeout" (10000).
    int keepAliveTimeout = 10000;
    int headTimeout = 10000;
    int bodyTimeout = 10000;
    int writeTimeout = 10000;

    static HttpConnectionSettings read(QSettings* settings);
};

} // namespace quillon
