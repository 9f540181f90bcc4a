#pragma once
// The texts of the rpc module's failures: the state file, the exchange and the
// reply envelope. The command line adds the prefixes where its stages meet them.

namespace tessik {

// What a failure of each stage starts with.
inline constexpr char kMalformedConfig[] = "malformed rpc config: ";
inline constexpr char kRpcError[] = "rpc error: ";
inline constexpr char kBadResponse[] = "bad response: ";

// Finding and reading the state file.
inline constexpr char kHomeNotSet[] = "HOME not set";
inline constexpr char kCannotRead[] = "cannot read ";
inline constexpr char kIsTessikRunning[] = "\n(is Tessik running?)";
// A state file or a reply with bytes that are not UTF-8.
inline constexpr char kNotUtf8[] = "stream did not contain valid UTF-8";

// The state file's typed failures.
inline constexpr char kInvalidType[] = "invalid type: ";
inline constexpr char kInvalidValue[] = "invalid value: ";
inline constexpr char kExpected[] = ", expected ";
inline constexpr char kMissingField[] = "missing field `";
inline constexpr char kDuplicateField[] = "duplicate field `";
inline constexpr char kInvalidLength[] = "invalid length ";
inline constexpr char kExpectedThreeElements[] = ", expected struct RpcConfig with 3 elements";
inline constexpr char kTokenControlCharacter[] = "token holds a control character";

// The exchange.
inline constexpr char kConnectTimedOut[] = "connection timed out";
inline constexpr char kNoErrorAfterHangup[] = "no error set after POLLHUP";
inline constexpr char kNothingWritten[] = "failed to write whole buffer";
inline constexpr char kNoBody[] = "no body";

// Failure envelopes without a text of their own.
inline constexpr char kUnknownError[] = "unknown error";
inline constexpr char kEvalError[] = "eval error";

}  // namespace tessik
