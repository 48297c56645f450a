// What the bench does when it is interrupted: end the run in progress and
// everything it started, remove its temporary results file, and then die
// of the same signal, so that the shell sees it (130 for SIGINT).
#pragma once

// Handles SIGINT, SIGTERM, SIGHUP and SIGPIPE so.
void clean_up_when_interrupted();
