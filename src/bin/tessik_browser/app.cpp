#include "bin/tessik_browser/app.h"

#include <cerrno>
#include <new>
#include <string>
#include <unistd.h>

#include "bin/tessik_browser/cli.h"
#include "bin/tessik_browser/messages.h"
#include "bin/tessik_browser/output.h"
#include "rpc/config.h"
#include "rpc/envelope.h"
#include "rpc/exchange.h"
#include "rpc/messages.h"
#include "sys/rw.h"
#include "sys/os_error.h"

namespace tessik {

void fail(std::string_view message) {
  std::string line = kReportPrefix;
  line.append(message);
  line.push_back('\n');
  (void)sys::write_all(STDERR_FILENO, line);  // nowhere left to report a failure to
  _exit(1);
}

namespace {

// Runs one stage. Containers report an exhausted allocator by throwing; inside
// the stage it ends the run as one line in the form of the stage's failures.
template <class Stage>
auto in_stage(std::string_view prefix, Stage stage) {
  try {
    return stage();
  } catch (const std::bad_alloc&) {
    fail(std::string(prefix) + sys::os_error_text(ENOMEM));
  }
}

int run(std::span<const char* const> args) {
  auto scanned = scan_options(args);
  if (!scanned) fail(scanned.error());
  // Static rather than on the stack, which may be small; its pages cost
  // nothing until written.
  static char out_buffer[64 * 1024];
  FdSink out(STDOUT_FILENO, out_buffer);
  if (scanned->help) {
    out.write(kHelpText);
    out.put('\n');
    out.flush();
    return out.failed() ? 1 : 0;
  }
  const CommandLine& line = scanned->line;

  JsonDocument request;
  auto command_args = build_args(request, line.command, line.args, line.submit);
  if (!command_args) fail(command_args.error());

  auto body = build_request(request, line.command, line.widget, *command_args);
  if (!body) fail(body.error());

  auto config = load_rpc_config();
  if (!config) fail(config.error());

  auto reply = in_stage(kRpcError, [&] { return rpc_exchange(*config, *body); });
  if (!reply) fail(kRpcError + reply.error());

  auto result = in_stage(kBadResponse, [&] {
    return decode_exec_response(std::move(reply->reply), reply->body_begin);
  });
  if (!result) fail(result.error());

  print_result(out, result->root());
  out.flush();
  // A closed or full standard output is not a failure to report, but the
  // result did not reach its reader.
  return out.failed() ? 1 : 0;
}

}  // namespace

int run_tessik_browser(int argc, const char* const* argv) {
  // The stages without a prefix of their own.
  return in_stage("", [&] {
    return run({argv + (argc > 0 ? 1 : 0), static_cast<size_t>(argc > 0 ? argc - 1 : 0)});
  });
}

}  // namespace tessik
