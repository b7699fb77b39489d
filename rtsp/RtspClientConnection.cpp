#include "RtspClientConnection.h"

#include <exception>

#include "RtspRequest.h"

namespace {

// Our own values and the server's Session name go into header lines: a line end in one would end
// the line early.
std::string OneLine(std::string_view value) {
  std::string line(value);
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return line;
}

}  // namespace

TRtspClientConnection::TRtspClientConnection(std::unique_ptr<platform::TTcpConnection> connection,
                                             std::optional<TRtspClientAuth> auth,
                                             std::string userAgent)
    : connection_(std::move(connection)),
      userAgent_(std::move(userAgent)),
      auth_(std::move(auth)),
      reader_([this] { ReadLoop(); }) {}

TRtspClientConnection::~TRtspClientConnection() {
  connection_->Close();
  reader_.join();
}

int32_t TRtspClientConnection::Write(const TRtspClientRequest& request) {
  std::lock_guard<std::mutex> guard(writeLock_);
  const int32_t cseq = nextCSeq_++;
  std::string text = OneLine(request.method) + " " + OneLine(request.uri) + " RTSP/1.0\r\n" +
                     "CSeq: " + std::to_string(cseq) + "\r\n";
  if (auth_) {
    if (const std::string value = auth_->Authorization(request.method, request.uri);
        !value.empty()) {
      text += "Authorization: " + OneLine(value) + "\r\n";
    }
  }
  if (!userAgent_.empty()) text += "User-Agent: " + OneLine(userAgent_) + "\r\n";
  for (const auto& [name, value] : request.headers) {
    text += OneLine(name) + ": " + OneLine(value) + "\r\n";
  }
  if (!request.body.empty()) {
    text += "Content-Type: " + OneLine(request.contentType) + "\r\n" +
            "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
  }
  text += "\r\n" + request.body;
  {
    // Set before the write: the answer may be read before WriteAll returns.
    std::lock_guard<std::mutex> state(lock_);
    awaited_ = cseq;
    answer_.reset();
  }
  return connection_->WriteAll(text) ? cseq : 0;
}

bool TRtspClientConnection::Send(const TRtspClientRequest& request) {
  const int32_t cseq = Write(request);
  std::lock_guard<std::mutex> state(lock_);
  if (awaited_ == cseq) awaited_ = 0;
  return cseq != 0;
}

std::optional<TRtspReply> TRtspClientConnection::Exchange(const TRtspClientRequest& request,
                                                          std::chrono::milliseconds limit,
                                                          TRtspExchangeEnd& end,
                                                          bool interruptible) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // The first answer to credentials may only say the nonce went stale; the second may not.
  for (int attempt = 0;; ++attempt) {
    const int32_t cseq = Write(request);
    std::optional<TRtspReply> answer;
    if (cseq == 0) {
      end = TRtspExchangeEnd::Closed;
    } else {
      answer = WaitForAnswer(cseq, deadline, end, interruptible);
    }
    if (!answer || answer->StatusCode() != 401 || !auth_ || attempt == 2) return answer;
    std::lock_guard<std::mutex> guard(writeLock_);
    const bool hadChallenge = std::exchange(challenged_, true);
    std::string error;
    if (!auth_->TakeChallenge(answer->GetAll("WWW-Authenticate"), error)) return answer;
    // Credentials refused outright are not tried again: only a stale nonce earns a retry.
    if (hadChallenge && !auth_->Stale()) return answer;
  }
}

std::optional<TRtspReply> TRtspClientConnection::WaitForAnswer(
    int32_t cseq, std::chrono::steady_clock::time_point deadline, TRtspExchangeEnd& end,
    bool interruptible) {
  std::unique_lock<std::mutex> state(lock_);
  changed_.wait_until(state, deadline, [&] {
    return answer_.has_value() || ended_ || (interruptible && interrupted_);
  });
  awaited_ = 0;
  if (answer_ && answer_->GetCSeq() == cseq) {
    end = TRtspExchangeEnd::Answered;
    return std::exchange(answer_, std::nullopt);
  }
  end = ended_                          ? TRtspExchangeEnd::Closed
        : interruptible && interrupted_ ? TRtspExchangeEnd::Interrupted
                                        : TRtspExchangeEnd::TimedOut;
  return std::nullopt;
}

bool TRtspClientConnection::WaitWhileOpen(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> state(lock_);
  changed_.wait_for(state, limit, [&] { return ended_ || interrupted_; });
  return !ended_;
}

void TRtspClientConnection::Interrupt() {
  std::lock_guard<std::mutex> state(lock_);
  interrupted_ = true;
  changed_.notify_all();
}

bool TRtspClientConnection::Interrupted() const {
  std::lock_guard<std::mutex> state(lock_);
  return interrupted_;
}

std::string TRtspClientConnection::EndReason() const {
  std::lock_guard<std::mutex> state(lock_);
  return endReason_;
}

void TRtspClientConnection::ReadLoop() {
  std::string reason;
  try {
    for (;;) ReadOne();
  } catch (const std::exception& e) {
    reason = e.what();
  }
  connection_->Close();
  std::lock_guard<std::mutex> state(lock_);
  ended_ = true;
  endReason_ = reason.empty() ? "connection closed" : reason;
  changed_.notify_all();
}

void TRtspClientConnection::ReadOne() {
  const std::vector<uint8_t> first = connection_->ReadBytes(1);
  if (first[0] == '$') {
    const std::vector<uint8_t> header = connection_->ReadBytes(3);
    const std::size_t length = static_cast<std::size_t>(header[1]) << 8 | header[2];
    if (length > 0) connection_->ReadBytes(length);
    return;
  }
  if (first[0] == '\r' || first[0] == '\n') return;
  std::string head(1, static_cast<char>(first[0]));
  head += connection_->ReadLine();
  for (std::string line = connection_->ReadLine(); !line.empty(); line = connection_->ReadLine()) {
    head += "\n" + line;
    if (head.size() > kMaxRtspReplyHeadBytes) {
      throw platform::TTcpError("an answer's head is over 64 KiB");
    }
  }
  if (!head.starts_with("RTSP/")) {
    // A request of the server's own: its body is skipped, and it learns this side serves nothing.
    TRtspRequest request;
    request.Parse(head);
    const int32_t length = request.GetContentLength();
    if (length > 0 && length <= kMaxRtspReplyBodyBytes) {
      connection_->ReadBytes(static_cast<std::size_t>(length));
    }
    connection_->WriteAll(
        "RTSP/1.0 501 Not Implemented\r\nCSeq: " + std::to_string(request.GetCSeq()) + "\r\n\r\n");
    return;
  }
  TRtspReply reply;
  if (!reply.Parse(head)) {
    throw platform::TTcpError("unreadable answer: " + reply.ParseError());
  }
  // Parse has bounded it.
  if (const int32_t length = reply.GetContentLength(); length > 0) {
    const std::vector<uint8_t> body = connection_->ReadBytes(static_cast<std::size_t>(length));
    reply.SetContent(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
  }
  std::lock_guard<std::mutex> state(lock_);
  if (awaited_ != 0 && reply.GetCSeq() == awaited_) {
    answer_ = std::move(reply);
    changed_.notify_all();
  }
}
