#pragma once
// Keeping the configured network shares mounted: every main-loop pass looks
// at each share's mount point, and when one is missing an attempt runs the
// stack's tool zqnet for each unmounted entry, one run at a time, beside the
// loop (never blocking it).
//
// Tunables from the environment (defaults in brackets): ZQ_MOUNT_ROOT
// [/mnt/zq] and ZQ_PROC_MOUNTS [/proc/mounts] (common/net_mounts.h),
// ZQ_MOUNT_RETRY_MS [30000] between attempts, ZQ_MOUNT_TIMEOUT_MS [120000]
// for one zqnet run before it is killed.

#include <sys/types.h>

// Reads network.mounts of ./config.yaml (start and SIGUSR2). Entries keep
// their state across a reload when their name stays.
void sup_mount_load();
// Main-loop step: state changes, zqnet runs and their time limit.
void sup_mount_tick();
// True when pid is a zqnet run of ours (it is then forgotten).
bool sup_mount_reap(pid_t pid);
// Shutdown: ends a running zqnet (its whole process group).
void sup_mount_stop();
