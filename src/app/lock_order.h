// The order of the process's three re-entrant locks. A thread may take a lock only while it holds
// none, the same lock (they are re-entrant), or locks that come before it here:
//
//   1. the initial list lock (initial_list_lock, app/driver_run.h): the initial device list is
//      checked, written and loaded under it, by the driver run and by "cfg" on the listener;
//   2. the facade lock (use_facade and the driver sequences, app/driver_run.h);
//   3. the settings lock (settings_lock, policy/usb_settings.h): the settings and rule lists.
//
// So the initial list lock is never taken while the facade or settings lock is held, and the
// facade lock never while the settings lock is held. Every place that takes one lock inside
// another states the pair with lock_may_nest, which checks it against this order when it compiles.
#pragma once

enum class ProcessLock { initial_list = 1, facade = 2, settings = 3 };

// Whether `inner` may be taken by a thread that holds `held`.
constexpr bool lock_may_nest(ProcessLock held, ProcessLock inner)
{
    return static_cast<int>(inner) >= static_cast<int>(held);
}

static_assert(lock_may_nest(ProcessLock::initial_list, ProcessLock::facade));
static_assert(lock_may_nest(ProcessLock::initial_list, ProcessLock::settings));
static_assert(lock_may_nest(ProcessLock::facade, ProcessLock::settings));
static_assert(!lock_may_nest(ProcessLock::settings, ProcessLock::facade));
static_assert(!lock_may_nest(ProcessLock::settings, ProcessLock::initial_list));
static_assert(!lock_may_nest(ProcessLock::facade, ProcessLock::initial_list));
