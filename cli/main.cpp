// The entry of `pelmo4rix`, the scriptable front end: one command per run, no key read.
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "cli/os.h"
#include "gang/gang.h"
#include "image/image.h"
#include "link/console_print.h"

namespace {

int run_command_named(const cli_options& options)
{
    const std::string& c = options.command;
    if (c == "ports")
        return command_ports(options);
    if (c == "version")
        return command_version(options);
    if (c == "address")
        return command_address(options);
    if (c == "params")
        return command_params(options);
    if (c == "flash")
        return command_flash(options);
    if (c == "trace")
        return command_trace(options);
    return command_image(options);
}

void print_version(const cli_options& options)
{
    if (options.json)
        printf("{\"ok\":true,\"pelmo4rix\":\"%s\",\"image_version\":\"%s\"}\n", tool_version,
               image_version);
    else
        printf("pelmo4rix %s, built-in firmware image %s\n", tool_version, image_version);
}

}  // namespace

int main(int argc, char** argv)
{
    // Messages and the bar a line at a time: unbuffered, the Windows run-time hands a console
    // each character alone, a slow call each. Every wait and every drawing of the bar flushes.
    setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);
    cli_options options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        options.json = options.json || json_asked(argc, argv);  // also where the parser stopped early
        return report_usage_error(options, "pelmo4rix", error, usage_text(""));
    }
    if (options.help) {
        print_help(options, usage_text(options.command));
        return EXIT_OK;
    }
    if (options.version) {
        print_version(options);
        return EXIT_OK;
    }
    // The gang, the pool and package have command lines of their own; the gang runs this program as
    // its workers.
    if (options.command == "gang")
        return gang_main(argc - options.command_at, argv + options.command_at);
    if (options.command == "pool")
        return pool_main(argc - options.command_at, argv + options.command_at, options);
    if (options.command == "package")
        return package_main(argc - options.command_at, argv + options.command_at, options);
    // Standard output carries only results.
    console_stream = options.quiet ? nullptr : stderr;
    use_progress_display(options.quiet, options.events);
    watch_stop_signals();
    return run_command_named(options);
}
