#include "cli/signal_stop.h"

#include <pthread.h>
#include <string.h>

#include <string>

namespace vekos {
namespace {

constexpr int kDone = SIGUSR1; // tells the watching thread to end

} // namespace

SignalStop::SignalStop()
{
    sigemptyset(&set_);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, kDone})
        sigaddset(&set_, s);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
}

SignalStop::Watch::Watch(const sigset_t& set, Machine& machine)
    : thread_([&set, &machine] {
          for (;;) {
              int s = 0;
              if (sigwait(&set, &s) != 0 || s == kDone)
                  return;
              machine.request_stop(s);
          }
      })
{
}

SignalStop::Watch::~Watch()
{
    pthread_kill(thread_.native_handle(), kDone);
    thread_.join();
}

std::string signal_name(int s)
{
    const char* abbrev = sigabbrev_np(s);
    return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(s);
}

} // namespace vekos
