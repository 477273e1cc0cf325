#include "ToolRun.h"

#include <QProcess>

namespace zephyrscope::testing {

ToolRun runTool(const QString& program, const QStringList& arguments, const std::string& input)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    ToolRun run;
    if (!process.waitForStarted(10000))
        return run;
    process.write(input.data(), static_cast<qint64>(input.size()));
    process.closeWriteChannel();
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.output = process.readAll().toStdString();
    run.exitStatus = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    return run;
}

} // namespace zephyrscope::testing
