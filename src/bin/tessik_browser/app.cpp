#include "bin/tessik_browser/app.h"

#include <cerrno>
#include <new>
#include <string>
#include <unistd.h>

#include "bin/tessik_browser/cli.h"
#include "bin/tessik_browser/output.h"
#include "rpc/config.h"
#include "rpc/envelope.h"
#include "rpc/exchange.h"
#include "rpc/os_error.h"

namespace tessik {

void fail(std::string_view message) {
  std::string line = "tessik-browser: ";
  line.append(message);
  line.push_back('\n');
  (void)write_all(STDERR_FILENO, line);  // nowhere left to report a failure to
  _exit(1);
}

namespace {

// Where an exhausted allocator is reported: in the form of the stage it hit.
const char* g_stage_prefix = "";

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

  g_stage_prefix = "rpc error: ";
  auto reply = rpc_exchange(*config, *body);
  if (!reply) fail("rpc error: " + reply.error());

  g_stage_prefix = "bad response: ";
  auto result = decode_exec_response(std::move(reply->reply), reply->body_begin);
  if (!result) fail(result.error());
  g_stage_prefix = "";

  print_result(out, result->root());
  out.flush();
  // A closed or full standard output is not a failure to report, but the
  // result did not reach its reader.
  return out.failed() ? 1 : 0;
}

}  // namespace

int run_tessik_browser(int argc, const char* const* argv) {
  try {
    return run({argv + (argc > 0 ? 1 : 0), static_cast<size_t>(argc > 0 ? argc - 1 : 0)});
  } catch (const std::bad_alloc&) {
    // Containers report exhaustion by throwing; it ends here as one line.
    fail(std::string(g_stage_prefix) + os_error_text(ENOMEM));
  }
}

}  // namespace tessik
