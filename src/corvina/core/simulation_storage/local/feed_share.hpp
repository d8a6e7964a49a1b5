// The change feed's share of the user's inotify instances.
//
// The kernel lets each user hold `max_user_instances` inotify instances (128
// by default) across all of the user's programs; editors, file managers and
// desktop services fail once they are gone. The kernel tells no one how many
// a user holds, and counting them means reading every process's descriptors,
// so the store counts only its own: every process that holds a queue holds
// one lock of a ledger shared by the user's processes on this machine
// (/dev/shm/.corvina-inotify-<uid>), and only half of the limit is offered.
// Whatever happens to a process, its lock goes with its last descriptor. A
// process that finds no free lock, or no ledger, checks directories by their
// stat instead, and asks again a little later.
#pragma once

namespace css::feed {

// Takes this process's share, before its queue is opened; true if it holds
// one. A share inherited over a fork is the parent's: it is let go of first.
bool take_share();

// Gives the share back (the queue was closed).
void give_back_share();

// Gives the share back after the system refused the queue: asked for again
// a little later, like a share that was refused.
void queue_refused();

}  // namespace css::feed
