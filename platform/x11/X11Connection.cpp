#include "platform/x11/X11Connection.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace platform::x11 {

namespace {

// Xlib's error handlers are process-wide, so one registry says which displays are ours; errors
// on any other display go on to whatever handler was installed before.
std::mutex registryMutex;
std::vector<TX11Connection*> registry;
XErrorHandler previousProtocolHandler = nullptr;
XIOErrorHandler previousConnectionHandler = nullptr;

TX11Connection* Find(Display* display) {
  for (TX11Connection* connection : registry)
    if (connection->Get() == display) return connection;
  return nullptr;
}

}  // namespace

int OnProtocolError(Display* display, XErrorEvent* event) {
  XErrorHandler previous;
  {
    std::lock_guard lock(registryMutex);
    if (TX11Connection* connection = Find(display)) {
      if (connection->error_.empty()) {
        char text[160] = {};
        XGetErrorText(display, event->error_code, text, sizeof text);
        connection->error_ = std::string(text) + " (request " +
                             std::to_string(event->request_code) + "." +
                             std::to_string(event->minor_code) + ")";
      }
      return 0;
    }
    previous = previousProtocolHandler;
  }
  return previous ? previous(display, event) : 0;
}

int OnConnectionError(Display* display) {
  XIOErrorHandler previous;
  {
    std::lock_guard lock(registryMutex);
    if (TX11Connection* connection = Find(display)) {
      connection->lost_ = true;
      return 0;
    }
    previous = previousConnectionHandler;
  }
  return previous ? previous(display) : 0;
}

// Called after the process-wide handler; returning instead of exiting leaves a display on which
// every request fails, which is what Lost() reports.
void OnConnectionErrorExit(Display*, void* connection) {
  static_cast<TX11Connection*>(connection)->lost_ = true;
}

std::unique_ptr<TX11Connection> TX11Connection::Open(const std::string& name) {
  Display* display = XOpenDisplay(name.c_str());
  if (!display) return nullptr;
  return std::unique_ptr<TX11Connection>(new TX11Connection(display, name));
}

TX11Connection::TX11Connection(Display* display, std::string name)
    : display_(display), name_(std::move(name)) {
  XSetIOErrorExitHandler(display_, OnConnectionErrorExit, this);
  std::lock_guard lock(registryMutex);
  registry.push_back(this);
  // Installed on every open, in case other code replaced them since; never chained to ourselves.
  if (XErrorHandler previous = XSetErrorHandler(OnProtocolError); previous != OnProtocolError)
    previousProtocolHandler = previous;
  if (XIOErrorHandler previous = XSetIOErrorHandler(OnConnectionError);
      previous != OnConnectionError)
    previousConnectionHandler = previous;
}

TX11Connection::~TX11Connection() {
  // Closing can still report errors of earlier requests, so the display stays registered until
  // it is gone.
  XCloseDisplay(display_);
  std::lock_guard lock(registryMutex);
  registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
}

std::string TX11Connection::TakeError() {
  std::lock_guard lock(registryMutex);
  return std::exchange(error_, {});
}

void TX11Connection::Sync() {
  XSync(display_, False);
}

}  // namespace platform::x11
