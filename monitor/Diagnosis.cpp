#include "Diagnosis.h"

#include <cstdio>
#include <cstring>

#include "kit_com.h"

namespace krelmon {

const char kDiagSwitch[] = "/Diag";
const char kReportFileName[] = "OPC.Krel.Diag.txt";

namespace {

const char kDiagHint[] = "Diagnóstico completo: OPC.Krel.Client.exe /Diag\n";

std::string CodeLine(const KetraOPCError& e) {
    std::string line = kit::Format("0x%08lX", static_cast<unsigned long>(e.code));
    if (*e.name) line += std::string(" ") + e.name;
    if (*e.text) line += std::string(" - ") + e.text;
    if (*e.call) line += std::string(" (") + e.call + ")";
    return line;
}

struct DiagRun {
    IConsoleIO* io;
    std::string report;
    LONG firstFailed;
    std::string firstTitle;
};

void __stdcall ShowStep(const KetraDiagStep* step, void* context) {
    DiagRun* run = static_cast<DiagRun*>(context);
    std::string text = StepText(*step);
    run->io->Print(text.c_str());
    run->report += text;
    if (step->verdict == KETRA_DIAG_FAILED && !run->firstFailed) {
        run->firstFailed = step->step;
        run->firstTitle = step->title;
    }
}

}  // namespace

std::string WhyLines(const KetraOPCError& error) {
    if (SUCCEEDED(error.code)) return kDiagHint;
    std::string lines =
        kit::Format("Paso %ld (%s): ", static_cast<long>(error.step), error.stepTitle) + CodeLine(error) + "\n";
    if (*error.fix) lines += std::string("Solución: ") + error.fix + "\n";
    return lines + kDiagHint;
}

std::string StepText(const KetraDiagStep& step) {
    std::string title = kit::Format("%ld. %s ", static_cast<long>(step.step), step.title);
    if (title.size() < 34) title.append(34 - title.size(), '.');
    if (step.verdict == KETRA_DIAG_SKIPPED) {
        // The reason fits the step's own line.
        std::string reason = step.detail;
        while (!reason.empty() && reason.back() == '\n') reason.pop_back();
        return title + " omitido: " + reason + "\n";
    }
    std::string text = title + (step.verdict == KETRA_DIAG_PASSED ? " correcto" : " FALLA") +
                       kit::Format(" (%lu ms)\n", static_cast<unsigned long>(step.elapsedMs));
    for (const char* line = step.detail; *line;) {
        const char* end = std::strchr(line, '\n');
        size_t length = end ? static_cast<size_t>(end - line) : std::strlen(line);
        text += "     " + std::string(line, length) + "\n";
        line += length + (end ? 1 : 0);
    }
    if (step.verdict == KETRA_DIAG_FAILED) {
        text += "     Código: " + CodeLine(step.error) + "\n";
        if (*step.error.fix) text += std::string("     Solución: ") + step.error.fix + "\n";
    }
    return text;
}

std::string WriteReport(const std::string& text, const char* directory, const char* name) {
    char temp[MAX_PATH] = "";
    DWORD length = GetTempPathA(MAX_PATH, temp);
    const std::string places[] = {directory ? directory : "",
                                  length > 0 && length < MAX_PATH ? std::string(temp) : std::string()};
    for (const std::string& place : places) {
        if (place.empty()) continue;
        std::string path = place;
        if (path.back() != '\\' && path.back() != '/') path += '\\';
        path += name;
        // Text mode: Notepad's CR LF line ends.
        FILE* file = std::fopen(path.c_str(), "w");
        if (!file) continue;
        bool written = std::fputs(text.c_str(), file) >= 0;
        written = std::fclose(file) == 0 && written;
        if (written) return path;
    }
    return std::string();
}

int RunDiagnosis(IConsoleIO& io, DiagRunner runner, const char* progId, const char* host,
                 const char* programDirectory) {
    DiagRun run = {&io, std::string(), 0, std::string()};
    const bool local = !host || !*host;
    std::string head = "OPC Krel Client 3.0 - diagnóstico de la conexión\n";
    head += std::string("Servidor OPC: ") + progId + "\n";
    head += std::string("Equipo      : ") + (local ? "(vacío: este equipo, ruta local)" : host) + "\n\n";
    io.Print(head.c_str());
    run.report = head;
    LONG result = runner(progId, host, &ShowStep, &run);
    std::string tail = "\n";
    if (result < 0)
        tail += "Resultado: el diagnóstico no pudo ejecutarse\n";
    else if (result == 0)
        tail += "Resultado: ningún paso falla\n";
    else
        tail += kit::Format("Resultado: falla el paso %ld (%s)\n", static_cast<long>(result), run.firstTitle.c_str());
    run.report += tail;
    io.Print(tail.c_str());
    std::string path = WriteReport(run.report, programDirectory, kReportFileName);
    std::string where = path.empty() ? std::string("Informe: no se pudo escribir ") + kReportFileName + "\n"
                                     : "Informe: " + path + "\n";
    io.Print(where.c_str());
    return static_cast<int>(result);
}

}  // namespace krelmon
