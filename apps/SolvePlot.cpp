#include "SolvePlot.h"

#include "Files.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qvl3d {
namespace app {

namespace {

// Canvas and plot area, in SVG user units.
constexpr double kWidth = 760, kHeight = 480;
constexpr double kLeft = 84, kRight = 730, kBottom = 420;
constexpr double kTitleLine = 19; // between the baselines of the title's lines

std::string Num(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

// Text for the SVG: the characters XML reserves as entities, control
// characters (XML 1.0 allows none but tab and line ends, which a title does
// not need) left out, bytes that are not well-formed UTF-8 as U+FFFD.
std::string Escaped(const std::string& text)
{
    std::string out;
    for (size_t k = 0; k < text.size();) {
        const char c = text[k];
        const size_t length = host::Utf8SequenceLength(text, k);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++k;
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20) out.append(text, k, length);
        }
        k += length;
    }
    return out;
}

std::string Text(double x, double y, const std::string& text, const std::string& attributes = "")
{
    return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\"" + (attributes.empty() ? "" : " " + attributes) + ">" +
           text + "</text>\n";
}

std::string Line(double x1, double y1, double x2, double y2, const std::string& attributes)
{
    return "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" + Num(y2) + "\" " +
           attributes + "/>\n";
}

// text in lines of at most `width` characters, broken at spaces where there
// are any.
std::vector<std::string> Wrapped(const std::string& text, size_t width)
{
    std::vector<std::string> lines;
    size_t from = 0;
    while (text.size() - from > width) {
        size_t cut = text.rfind(' ', from + width);
        if (cut == std::string::npos || cut <= from) {
            cut = from + width; // not inside a UTF-8 sequence
            while (cut > from + 1 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        }
        lines.push_back(text.substr(from, cut - from));
        from = cut < text.size() && text[cut] == ' ' ? cut + 1 : cut;
    }
    lines.push_back(text.substr(from));
    return lines;
}

// Step between ticks of 0..last: 1, 2 or 5 times a power of ten, at most
// about eight ticks.
int TickStep(int last)
{
    const double raw = std::max(1.0, last / 8.0);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double m = raw / power;
    const double step = power * (m <= 1.0 ? 1.0 : m <= 2.0 ? 2.0 : m <= 5.0 ? 5.0 : 10.0);
    return static_cast<int>(std::max(1.0, std::round(step)));
}

// Where values go: the plot area below the title, decades lo..hi (a label
// every decadeStep) upwards, iterations 0..last across.
struct CFrame {
    double top = 0.0;
    int lo = -1, hi = 1, decadeStep = 1, last = 1;

    double Y(double v) const
    {
        if (v == 0.0) return kBottom;
        if (!std::isfinite(v) || v < 0.0) return top;
        return kBottom - (std::log10(v) - lo) / (hi - lo) * (kBottom - top);
    }
    double X(double k) const { return kLeft + k / last * (kRight - kLeft); }
};

// Decades from below the smallest positive value (or the level) to above
// the largest, a label every few decades when there are many.
CFrame Frame(const CLogPlot& p, double top)
{
    CFrame f;
    f.top = top;
    double smallest = HUGE_VAL, largest = 0.0;
    auto include = [&](double v) {
        if (!(v > 0.0) || !std::isfinite(v)) return;
        smallest = std::min(smallest, v);
        largest = std::max(largest, v);
    };
    for (const double v : p.values) include(v);
    include(p.level);
    if (largest > 0.0) {
        f.lo = static_cast<int>(std::floor(std::log10(smallest)));
        f.hi = static_cast<int>(std::ceil(std::log10(largest)));
        if (f.hi <= f.lo) {
            --f.lo;
            ++f.hi;
        }
    }
    f.decadeStep = std::max(1, (f.hi - f.lo + 9) / 10);
    f.hi = f.lo + (f.hi - f.lo + f.decadeStep - 1) / f.decadeStep * f.decadeStep;
    f.last = std::max(1, static_cast<int>(p.values.size()));
    return f;
}

// Grid and ticks (the labelled decades, the iterations at a round step),
// the frame, the axis labels and the dashed level.
std::string Axes(const CLogPlot& p, const CFrame& f)
{
    std::string svg;
    for (int d = f.lo; d <= f.hi; d += f.decadeStep) {
        const double y = f.Y(std::pow(10.0, d));
        svg += Line(kLeft, y, kRight, y, "stroke=\"#dddddd\"");
        svg += Text(kLeft - 6, y + 4, "10<tspan dy=\"-6\" font-size=\"9\">" + std::to_string(d) + "</tspan>",
                    "text-anchor=\"end\"");
    }
    const int step = TickStep(f.last);
    for (int k = 0; k <= f.last; k += step) {
        const double x = f.X(k);
        svg += Line(x, f.top, x, kBottom, "stroke=\"#eeeeee\"");
        svg += Text(x, kBottom + 16, std::to_string(k), "text-anchor=\"middle\"");
    }
    svg += "<rect x=\"" + Num(kLeft) + "\" y=\"" + Num(f.top) + "\" width=\"" + Num(kRight - kLeft) + "\" height=\"" +
           Num(kBottom - f.top) + "\" fill=\"none\" stroke=\"black\"/>\n";
    svg += Text((kLeft + kRight) / 2, kBottom + 40, Escaped(p.xLabel), "text-anchor=\"middle\"");
    svg += Text(22, (f.top + kBottom) / 2, Escaped(p.yLabel),
                "text-anchor=\"middle\" transform=\"rotate(-90 22 " + Num((f.top + kBottom) / 2) + ")\"");
    if (p.level > 0.0 && std::isfinite(p.level)) {
        const double y = f.Y(p.level);
        svg += Line(kLeft, y, kRight, y, "stroke=\"#d62728\" stroke-dasharray=\"6 4\"");
        svg += Text(kRight - 4, y - 5, Escaped(p.levelLabel), "text-anchor=\"end\" fill=\"#d62728\"");
    }
    return svg;
}

// The values: one line through all of them, a dot on each while there are
// few enough to tell apart, and notes on the values drawn on the edges.
std::string Curve(const CLogPlot& p, const CFrame& f)
{
    std::string svg, points;
    bool zero = false, nonFinite = false;
    for (size_t k = 0; k < p.values.size(); ++k) {
        const double v = p.values[k];
        zero = zero || v == 0.0;
        nonFinite = nonFinite || !std::isfinite(v);
        points += (k ? " " : "") + Num(f.X(static_cast<double>(k + 1))) + "," + Num(f.Y(v));
    }
    svg += "<polyline fill=\"none\" stroke=\"#1f77b4\" stroke-width=\"1.8\" points=\"" + points + "\"/>\n";
    if (p.values.size() <= 60)
        for (size_t k = 0; k < p.values.size(); ++k)
            svg += "<circle cx=\"" + Num(f.X(static_cast<double>(k + 1))) + "\" cy=\"" + Num(f.Y(p.values[k])) +
                   "\" r=\"2.5\" fill=\"#1f77b4\"/>\n";
    if (p.values.empty())
        svg += Text((kLeft + kRight) / 2, (f.top + kBottom) / 2, Escaped(p.empty), "text-anchor=\"middle\"");
    double noteY = kBottom - 8;
    if (zero) {
        svg += Text(kLeft + 6, noteY, "0 is drawn on the lower edge", "fill=\"#555555\"");
        noteY -= 16;
    }
    if (nonFinite)
        svg += Text(kLeft + 6, noteY, "values that are not finite are drawn on the upper edge", "fill=\"#555555\"");
    return svg;
}

} // namespace

std::string LogPlotSvg(const CLogPlot& p)
{
    // The title's lines, wrapped to the canvas (about 0.6 em a character),
    // the first larger and bold; the plot area starts below them.
    std::vector<std::pair<std::string, bool>> title;
    for (size_t k = 0; k < p.title.size(); ++k)
        for (const std::string& line : Wrapped(p.title[k], k == 0 ? 80 : 100)) title.emplace_back(line, k == 0);
    const CFrame frame = Frame(p, 24 + kTitleLine * static_cast<double>(title.size()) + 6);

    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      Num(kWidth) + "\" height=\"" + Num(kHeight) + "\" viewBox=\"0 0 " + Num(kWidth) + " " +
                      Num(kHeight) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    for (size_t k = 0; k < title.size(); ++k)
        svg += Text(kWidth / 2, 24 + kTitleLine * static_cast<double>(k), Escaped(title[k].first),
                    title[k].second ? "text-anchor=\"middle\" font-size=\"15\" font-weight=\"bold\""
                                    : "text-anchor=\"middle\"");
    return svg + Axes(p, frame) + Curve(p, frame) + "</svg>\n";
}

std::string ResidualPlotSvg(const CProblem& problem, const CRunResult& r)
{
    CLogPlot p;
    p.title.push_back(std::string(RunMethodName(r)) + ", preconditioner " +
                      (r.code == 4 && !r.frontDoor ? "none" : PreconditionerName(r.precond)) + ", " +
                      LayoutName(r.layout) + " layout, " + (r.frontDoor ? "front door" : "entry point"));
    p.title.push_back(host::Printable(problem.description)); // a file name's control bytes shown, not dropped
    p.title.push_back(std::to_string(r.iterations) + (r.iterations == 1 ? " iteration: " : " iterations: ") + r.stop);
    p.xLabel = "iteration";
    p.yLabel = "residual norm (the method's own)";
    p.values = r.history;
    char label[80];
    if (r.reference == EReference::RightHandSide) {
        p.level = r.bNorm * r.tolerance;
        std::snprintf(label, sizeof label, "stop level: ||b|| %.3e \xC3\x97 tolerance %.3g", r.bNorm, r.tolerance);
    } else {
        if (r.reachedFirst) p.level = r.residual0 * r.tolerance;
        std::snprintf(label, sizeof label, "stop level: reference %.3e \xC3\x97 tolerance %.3g", r.residual0,
                      r.tolerance);
    }
    p.levelLabel = label;
    p.empty = "no iteration completed";
    return LogPlotSvg(p);
}

} // namespace app
} // namespace qvl3d
