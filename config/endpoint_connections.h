#pragma once

#include <string>

// What stopping an endpoint of ours (the metrics, the status page) needs so that no client can hold it up.

// Opens and closes one connection to `host`:`port`, to wake a listener that looks at its stop flag only when
// a connection comes.
void KnockListener(const std::string& host, int port);
// Shuts down every TCP connection this process accepted on `port`, so a worker blocked sending to a client
// that does not read fails at once instead of waiting out its time-out. Only the listener holds the port, so
// a connection with it as its local port is one of ours. Each descriptor is checked and shut down through a
// duplicate: a number closed and reused meanwhile is never touched.
void ShutDownAcceptedConnections(int port);
