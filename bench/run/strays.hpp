// What runs leave behind: finding it and ending it. The bench is the reaper
// of its runs' orphans, so that whatever a run starts becomes the bench's
// child once its parent has gone, and the kernel lists the bench's
// children; and the runs share a cgroup of their own where the machine
// allows, which nothing started in a run leaves. A guard process ends what
// is left when the bench ends. All but become_subreaper, open_children_list
// and start_guard is safe in a signal handler.
#pragma once

#include <sys/types.h>

#include <cstddef>
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
// run then in progress and every process in the runs' cgroup, then removes
// that cgroup. It shows as "bench-guard of PID" in ps, written over `title`,
// `title_size` bytes of the bench's command line (main's argv strings), so
// that a pattern matching the bench's command line does not match it.
// The runs' cgroup, made here where the machine allows (cgroup v2, and a
// cgroup below the bench's that can be made and joined), is named in
// `cgroup`: its directory, or "no (REASON)". Returns "" or why the guard
// cannot be started.
[[nodiscard]] std::string start_guard(char *title, std::size_t title_size,
                                      std::string &cgroup);

// A descriptor that poll finds ready (POLLHUP) once the guard has ended,
// or -1 before it is started.
[[nodiscard]] int guard_watch();

// The runs' cgroup's cgroup.procs open for writing, which a run writes "0"
// to before it execs so as to join it; or -1 if there is none.
[[nodiscard]] int run_cgroup_procs();

// Removes the runs' cgroup, if any, killing what is in it and waiting for
// it to be empty: as the bench ends. The guard does it too, if the bench
// cannot; but where the bench is process 1 of a PID namespace, the guard
// ends with it.
void remove_run_cgroup();

// Notes the process group of the run in progress, or 0 for none, for
// kill_runs.
void note_running_group(pid_t group);

// Kills, and reaps, every child of this process, and kills every process
// of the runs' cgroup: what the last run left behind. Returns how many were
// still running, or -1 with errno set if the list of children could not be
// read; those that had exited are reaped and not counted.
[[nodiscard]] long end_strays();

// Kills the group of the run in progress, if any, every process of the
// runs' cgroup and every child of this process, without waiting for them: for a
// signal handler.
void kill_runs();
