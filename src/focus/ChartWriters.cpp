// The chart as vector documents: SVG in millimetres, and a one-page PDF
// written by hand (a few objects and one content stream of filled paths).
#include <algorithm>
#include <cstdio>

#include "FocusInternal.h"

namespace focus {
namespace {

constexpr double kPointsPerMm = 72.0 / 25.4;

// An SVG `width` x `height` mm with the chart's centre at (cx, cy) from its
// top-left corner.
std::string svgDocument(double width, double height, double cx, double cy) {
    std::string out;
    appendf(out,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.1fmm\" height=\"%.1fmm\"",
            width, height);
    appendf(out, " viewBox=\"0 0 %.1f %.1f\">\n<title>PelagoXcon focus chart</title>\n", width, height);
    out += "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n<path fill=\"#000\" d=\"";
    for (const Shape& s : chartInk()) {
        for (int i = 0; i < s.corners; ++i)
            appendf(out, i == 0 ? "M%.3f %.3f" : "L%.3f %.3f", s.p[i].x + cx, cy - s.p[i].y);
        out += "Z\n";
    }
    out += "\"/>\n</svg>\n";
    return out;
}

}  // namespace

std::string chartSvg(Paper paper) {
    const PageSize page = pageSize(paper);
    return svgDocument(page.width_mm, page.height_mm, page.width_mm / 2, page.height_mm / 2);
}

std::string chartSvgUnframed() {
    double left = 0, right = 0, bottom = 0, top = 0;
    for (const Shape& s : chartInk()) {
        for (int i = 0; i < s.corners; ++i) {
            left = std::min(left, s.p[i].x), right = std::max(right, s.p[i].x);
            bottom = std::min(bottom, s.p[i].y), top = std::max(top, s.p[i].y);
        }
    }
    return svgDocument(right - left, top - bottom, -left, top);
}

std::string chartPdf(Paper paper) {
    const PageSize page = pageSize(paper);
    std::string content = "0 g\n";
    for (const Shape& s : chartInk()) {
        for (int i = 0; i < s.corners; ++i)
            appendf(content, i == 0 ? "%.2f %.2f m\n" : "%.2f %.2f l\n",
                    (s.p[i].x + page.width_mm / 2) * kPointsPerMm, (s.p[i].y + page.height_mm / 2) * kPointsPerMm);
        content += "h\n";
    }
    content += "f\n";

    std::string out = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    size_t offsets[6];
    char buf[160];
    auto object = [&](int number, const std::string& body) {
        offsets[number] = out.size();
        std::snprintf(buf, sizeof buf, "%d 0 obj\n", number);
        out += buf;
        out += body;
        out += "\nendobj\n";
    };
    object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    std::snprintf(buf, sizeof buf,
                  "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.2f %.2f] /Contents 4 0 R /Resources << >> >>",
                  page.width_mm * kPointsPerMm, page.height_mm * kPointsPerMm);
    object(3, buf);
    std::snprintf(buf, sizeof buf, "<< /Length %zu >>\nstream\n", content.size());
    object(4, buf + content + "endstream");
    object(5, "<< /Title (PelagoXcon focus chart) /Producer (pelagoxcon-focus) >>");

    const size_t xref = out.size();
    out += "xref\n0 6\n0000000000 65535 f \n";
    for (int i = 1; i <= 5; ++i) {
        std::snprintf(buf, sizeof buf, "%010zu 00000 n \n", offsets[i]);
        out += buf;
    }
    std::snprintf(buf, sizeof buf, "trailer\n<< /Size 6 /Root 1 0 R /Info 5 0 R >>\nstartxref\n%zu\n%%%%EOF\n", xref);
    out += buf;
    return out;
}

}  // namespace focus
