#pragma once
// Lets a termination request from outside (SIGTERM, as a newly started copy sends it, or SIGINT
// from a terminal) end the program the way closing its window does: the event loop returns and the
// normal teardown runs, so a conversion in progress stops after its current file. A second request
// while the teardown is still waiting ends the process at once. On Windows this does nothing: a
// terminated process there gets no chance to react.

class QObject;

// Installs the handlers; the notification lives as a child of `owner` (normally the application
// object). Returns false when the handlers could not be installed.
bool quitOnTerminationSignals(QObject* owner);
