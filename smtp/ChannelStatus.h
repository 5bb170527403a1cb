// Channel status codes: how one send ended. The number is the outcome row's Result and
// stays fixed (callers' scripts test it); StatusText gives the text of its ErrorMessage.
// The texts are one switch without a default, so a code without a text does not compile
// (-Wswitch); a number outside the list is "Unknown error".
#pragma once

#include <cstdint>

namespace varnel {

enum class Status : std::int32_t {
  Success = 0,
  SocketInit = 1,
  SocketCreate = 2,
  Connect = 3,
  CompleteEvent = 4,
  NoDestination = 5,
  DestinationError = 6,
  Registry = 7,
  Timeout = 8,
  MessageLoop = 9,
  Exception = 10,
  ServerNameBuffer = 11,
  UserNameBuffer = 12,
  PasswordBuffer = 13,
  LogOn = 14,
  Tls = 15,
  OAuthToken = 16,
  AttachmentRefused = 17,
  // The connection ended after the end-of-data line and before its reply: the relay may
  // have taken the message, so it is not sent again.
  Unknown = 18,
  // Sent to some recipients only (@partialrecipients=1): the others were refused.
  Partial = 19,
};

// The number of a status, as the outcome row and the call's report carry it.
constexpr std::int32_t StatusCode(Status status) { return static_cast<std::int32_t>(status); }

constexpr const char* StatusText(Status status) {
  switch (status) {
    case Status::Success: return "Success";
    case Status::SocketInit: return "Socket inialisation error";
    case Status::SocketCreate: return "Error returned from Socket Control Create";
    case Status::Connect: return "Unable to Connect to SMTP Server";
    case Status::CompleteEvent: return "Error creating complete event";
    case Status::NoDestination: return "Destination address or recipient cannot be null";
    case Status::DestinationError: return "Destination returned error : See log";
    case Status::Registry: return "Error accessing the registry";
    case Status::Timeout: return "Timeout exceeded";
    case Status::MessageLoop: return "Unknown return value from message loop";
    case Status::Exception: return "Exception caught";
    case Status::ServerNameBuffer: return "Servername buffer exceeded";
    case Status::UserNameBuffer: return "Username buffer exceeded";
    case Status::PasswordBuffer: return "Password buffer exceeded";
    case Status::LogOn: return "Error while logging on";
    case Status::Tls: return "TLS could not be established";
    case Status::OAuthToken: return "OAuth token could not be obtained";
    case Status::AttachmentRefused: return "Attachment not allowed";
    case Status::Unknown: return "Unknown: the relay may have accepted the message";
    case Status::Partial: return "Sent to some recipients only";
  }
  return "Unknown error";
}

// The text of a number that may be none of the codes (a report's status).
constexpr const char* StatusText(std::int32_t code) { return StatusText(static_cast<Status>(code)); }

}  // namespace varnel
