// The batch command's option parsing: the input, split at NUL bytes, is the argument list after the
// program's name.

#include "options.h"

#include <QCoreApplication>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QCoreApplication* app = [] {
        static int argc = 1;
        static char name[] = "nebulo-cli";
        static char* argv[] = {name, nullptr};
        return new QCoreApplication(argc, argv); // as in the command: the help text names the program
    }();
    Q_UNUSED(app);
    QStringList arguments{QStringLiteral("nebulo-cli")};
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (!bytes.isEmpty())
        for (const QByteArray& part : bytes.split('\0'))
            arguments << QString::fromUtf8(part);
    const cli::ParsedArguments parsed = cli::parseArguments(arguments);
    // Whatever the arguments, the outcome is complete: a run has its output and frames, anything else
    // a text and the matching exit status.
    switch (parsed.action) {
    case cli::ParsedArguments::Action::Run:
        if (parsed.settings.output.isEmpty() || parsed.settings.frames.isEmpty()
            || parsed.settings.reference < 0 || parsed.settings.reference >= parsed.settings.frames.size())
            __builtin_trap();
        break;
    case cli::ParsedArguments::Action::Print:
        if (parsed.text.isEmpty() || parsed.exitCode != cli::kExitOk)
            __builtin_trap();
        break;
    case cli::ParsedArguments::Action::Fail:
        if (parsed.text.isEmpty() || parsed.exitCode == cli::kExitOk)
            __builtin_trap();
        break;
    }
    return 0;
}
