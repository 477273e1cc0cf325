#include "MatrixReport.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include <sys/utsname.h>
#include <thread>

namespace zephyrscope::bench {

namespace {

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string jsonNumber(std::optional<double> value)
{
    if (!value || !std::isfinite(*value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", *value);
    return text;
}

std::string markdownCell(const std::string& text)
{
    std::string out;
    for (const char c : text)
        out += c == '|' ? std::string("\\|") : std::string(1, c);
    return out;
}

std::map<MatrixFigure::Verdict, int> tally(const std::vector<MatrixCell>& cells)
{
    std::map<MatrixFigure::Verdict, int> counts;
    for (const MatrixCell& cell : cells) {
        for (const MatrixFigure& f : cell.figures)
            ++counts[f.verdict()];
    }
    return counts;
}

} // namespace

MatrixReport::MatrixReport(std::vector<MatrixCell> cells, Machine machine)
    : m_cells(std::move(cells))
    , m_machine(std::move(machine))
{
}

MatrixReport::Machine MatrixReport::thisMachine()
{
    Machine machine;
    utsname name {};
    if (uname(&name) == 0) {
        machine.uname = std::string(name.sysname) + " " + name.nodename + " " + name.release + " " + name.version
            + " " + name.machine;
    }
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            machine.cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    machine.cores = static_cast<int>(std::thread::hardware_concurrency());
    const std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
    machine.date = date;
    return machine;
}

std::string MatrixReport::summary() const
{
    const auto counts = tally(m_cells);
    auto count = [&](MatrixFigure::Verdict v) {
        const auto found = counts.find(v);
        return found == counts.end() ? 0 : found->second;
    };
    int notPlayed = 0, wrongCells = 0;
    for (const MatrixCell& cell : m_cells) {
        notPlayed += cell.played ? 0 : 1;
        wrongCells += cell.played && !cell.allWithinTolerance() ? 1 : 0;
    }
    std::ostringstream out;
    out << "figures: exact " << count(MatrixFigure::Verdict::Exact) << ", within "
        << count(MatrixFigure::Verdict::Within) << ", wrong " << count(MatrixFigure::Verdict::Wrong) << ", n/a "
        << count(MatrixFigure::Verdict::NotApplicable) << "; cells: " << m_cells.size() << ", with a wrong figure "
        << wrongCells << ", not played " << notPlayed;
    return out.str();
}

std::string MatrixReport::json() const
{
    std::ostringstream out;
    out << "{\n  \"machine\": {\"uname\": " << jsonString(m_machine.uname) << ", \"cpu\": " << jsonString(m_machine.cpu)
        << ", \"cores\": " << m_machine.cores << "},\n  \"date\": " << jsonString(m_machine.date)
        << ",\n  \"run_seconds\": " << jsonNumber(m_machine.runSeconds) << ",\n  \"summary\": "
        << jsonString(summary()) << ",\n  \"cells\": [";
    for (std::size_t i = 0; i < m_cells.size(); ++i) {
        const MatrixCell& cell = m_cells[i];
        out << (i ? "," : "") << "\n    {\"protocol\": " << jsonString(cell.protocol)
            << ", \"impairment\": " << jsonString(cell.impairment.id)
            << ", \"impairment_label\": " << jsonString(cell.impairment.label)
            << ", \"played\": " << (cell.played ? "true" : "false") << ", \"failure\": " << jsonString(cell.failure)
            << ", \"seconds\": " << jsonNumber(cell.seconds) << ", \"relay\": " << jsonString(cell.relayCounts)
            << ", \"notes\": " << jsonString(cell.notes) << ",\n     \"figures\": [";
        for (std::size_t j = 0; j < cell.figures.size(); ++j) {
            const MatrixFigure& f = cell.figures[j];
            out << (j ? "," : "") << "\n       {\"name\": " << jsonString(f.name())
                << ", \"measured\": " << jsonNumber(f.measured()) << ", \"truth\": " << jsonNumber(f.truth());
            if (f.lowest())
                out << ", \"truth_lowest\": " << jsonNumber(f.lowest());
            out << ", \"verdict\": " << jsonString(MatrixFigure::verdictName(f.verdict()))
                << ", \"text\": " << jsonString(f.verdictText())
                << ", \"tolerance_percent\": " << jsonNumber(f.tolerancePercent())
                << ", \"tolerance_absolute\": " << jsonNumber(f.toleranceAbsolute())
                << ", \"why\": " << jsonString(f.why()) << "}";
        }
        out << "]}";
    }
    out << "\n  ]\n}\n";
    return out.str();
}

std::string MatrixReport::markdown() const
{
    std::ostringstream out;
    out << "# The impairment matrix\n\n"
        << "Written by `make matrix` (`bench/matrix/`): every live protocol played through a relay or server\n"
        << "this project controls, under each impairment, every figure the player gave beside what the\n"
        << "relay or server counted. A figure is *exact*, *within X %* (X: how far it really was), *WRONG*\n"
        << "(both numbers), or *n/a* where its cell has no ground truth (the reason is in the JSON file,\n"
        << "`docs/matrix.json`, with the tolerance each figure is allowed and where it comes from).\n\n"
        << "- Date: " << m_machine.date << "\n"
        << "- Machine: `" << m_machine.uname << "`\n"
        << "- CPU: " << m_machine.cpu << ", " << m_machine.cores << " cores\n";
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.0f", m_machine.runSeconds);
    out << "- Run: " << seconds << " s for " << m_cells.size() << " cells\n"
        << "- Tally: " << summary() << "\n\n"
        << "![Stall time and loss against the impairment](matrix.png)\n";

    std::string protocol;
    for (const MatrixCell& cell : m_cells) {
        if (cell.protocol != protocol) {
            protocol = cell.protocol;
            out << "\n## " << protocol << "\n\n| Impairment |";
            for (const std::string& name : matrixFigureNames())
                out << " " << name << " |";
            out << "\n|---|";
            for (std::size_t i = 0; i < matrixFigureNames().size(); ++i)
                out << "---|";
            out << "\n";
        }
        out << "| " << markdownCell(cell.impairment.label) << " |";
        if (!cell.played) {
            out << " not played: " << markdownCell(cell.failure) << " |";
            for (std::size_t i = 1; i < matrixFigureNames().size(); ++i)
                out << " |";
            out << "\n";
            continue;
        }
        for (const std::string& name : matrixFigureNames()) {
            const MatrixFigure* f = cell.figure(name);
            out << " " << (f ? markdownCell(f->cellText()) : std::string("n/a")) << " |";
        }
        out << "\n";
    }

    // Why a figure has no truth, once per protocol and figure.
    out << "\n## Figures without ground truth\n\n";
    std::map<std::string, std::string> reasons;
    for (const MatrixCell& cell : m_cells) {
        for (const MatrixFigure& f : cell.figures) {
            if (f.verdict() == MatrixFigure::Verdict::NotApplicable)
                reasons.emplace(cell.protocol + ", " + f.name(), f.why());
        }
    }
    for (const auto& [what, why] : reasons)
        out << "- " << what << ": " << why << "\n";

    out << "\n## Wrong figures and counters that fell\n\n";
    bool any = false;
    for (const MatrixCell& cell : m_cells) {
        for (const MatrixFigure& f : cell.figures) {
            if (f.verdict() == MatrixFigure::Verdict::Wrong) {
                out << "- " << cell.protocol << ", " << cell.impairment.label << ", " << f.name() << ": "
                    << f.cellText() << ". Truth: " << f.why() << ". Relay: " << cell.relayCounts << "\n";
                any = true;
            }
        }
        if (!cell.notes.empty()) {
            out << "- " << cell.protocol << ", " << cell.impairment.label << ": " << cell.notes << "\n";
            any = true;
        }
    }
    if (!any)
        out << "None.\n";
    return out.str();
}

std::string MatrixReport::write(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file)
        return "Cannot write '" + path + "': " + std::strerror(errno);
    file << text;
    file.close();
    if (!file)
        return "Cannot write '" + path + "': " + std::strerror(errno);
    return {};
}

} // namespace zephyrscope::bench
