#include "FrameSendThread.h"

#include <exception>
#include <string>

#include "FrameSender.h"

TFrameSendThread::TFrameSendThread(TFrameSender& sender)
    : sender_(sender), thread_([this] { Run(); }) {}

TFrameSendThread::~TFrameSendThread() {
  Terminate();
  Join();
}

void TFrameSendThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TFrameSendThread::Run() noexcept {
  try {
    while (!terminated_.load() && sender_.ShouldSend()) sender_.SendNext();
  } catch (const std::exception& e) {
    sender_.Log(std::string("send rtp thread error, E:") + e.what());
  } catch (...) {
    sender_.Log("send rtp thread error, E:unknown exception");
  }
  sender_.SendThreadEnded();
  finished_.store(true);
}
