// What runs leave behind: finding it and ending it. The bench is the reaper
// of its runs' orphans, so that whatever a run starts becomes the bench's
// child once its parent has gone, and the kernel lists the bench's
// children. All but become_subreaper and open_children_list is safe in a
// signal handler.
#pragma once

#include <sys/types.h>

#include <string>

// Makes this process the reaper of its descendants' orphans, so that what
// a run leaves behind can be found and ended. Returns false if it cannot.
[[nodiscard]] bool become_subreaper();

// Opens the kernel's list of this process's children, before any run, and
// reads it once. Returns "" or why it cannot be read: kernels built without
// CONFIG_PROC_CHILDREN have no such list. Until it is open, no child is
// found.
[[nodiscard]] std::string open_children_list();

// Starts a small process that outlives the bench by a moment: when the
// bench ends, however it ends (SIGKILL included), it kills the group of the
// run then in progress, so that no run goes on without the bench. Returns
// "" or why it cannot.
[[nodiscard]] std::string start_guard();

// Notes the process group of the run in progress, or 0 for none, for
// kill_runs.
void note_running_group(pid_t group);

// Kills, and reaps, every child of this process: what the last run left
// behind. Returns how many were still running, or -1 with errno set if the
// list of children could not be read; those that had exited are reaped and
// not counted.
[[nodiscard]] long end_strays();

// Kills the group of the run in progress, if any, and every child of this
// process, without waiting for them: for a signal handler.
void kill_runs();
