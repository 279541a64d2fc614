// Tells the service manager how the daemon is: readiness, status, the
// watchdog's pings and the stop, as datagrams to the socket that
// $NOTIFY_SOCKET names (a path, or an abstract name after "@"), the
// protocol systemd keeps stable for exactly this.  Without the variable
// each call does nothing.  Nothing here blocks: a message the socket cannot
// take at once is dropped.
#pragma once

// Opens the socket; once, at start-up, before any other call here.
void notify_open();

// Sends one message, "READY=1", "STATUS=...", "WATCHDOG=1" or "STOPPING=1".
// Returns whether it went; true too when there is no service manager.
bool notify(const char *message);

// The watchdog interval that $WATCHDOG_USEC asks of this process, in
// seconds; 0 when there is none, or when $WATCHDOG_PID names another.
double watchdog_interval_s();
