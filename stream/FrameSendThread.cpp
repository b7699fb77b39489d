#include "FrameSendThread.h"

#include <exception>
#include <string>
#include <utility>

TFrameSendThread::TFrameSendThread(TFrameSendWork work)
    : work_(std::move(work)), thread_([this] { Run(); }) {}

TFrameSendThread::~TFrameSendThread() {
  Terminate();
  Join();
}

void TFrameSendThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TFrameSendThread::Run() noexcept {
  try {
    while (!terminated_.load() && work_.canSend()) work_.step();
  } catch (const std::exception& e) {
    work_.error(std::string("send rtp thread error, E:") + e.what());
  } catch (...) {
    work_.error("send rtp thread error, E:unknown exception");
  }
  work_.ended();
  finished_.store(true);
}
