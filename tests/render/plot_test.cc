// The picture of the fit, read back as XML and rendered by a converter.
#include "render/plot.h"

#include <gtest/gtest.h>

#include "support/key_writer.h"
#include "support/process.h"

namespace karva {
namespace {

using testing::run_karva;
using testing::run_shell;
using testing::ScratchDir;

// Reads the SVG with Python's XML parser and prints the facts a test checks:
// the title, the points or cells (their count and the sum of their counts),
// the bins (their count and the sum of their counts), and the note.
const char* const SVG_FACTS =
    "import sys, xml.etree.ElementTree as ET\n"
    "n = '{http://www.w3.org/2000/svg}'\n"
    "root = ET.parse(sys.argv[1]).getroot()\n"
    "by_id = {e.get('id'): e for e in root.iter() if e.get('id')}\n"
    "print(by_id['title'].text)\n"
    "if 'points' in by_id:\n"
    "    print('points', by_id['points'].get('data-count'), len(by_id['points'].findall(n + 'circle')))\n"
    "else:\n"
    "    cells = by_id['cells'].findall(n + 'rect')\n"
    "    print('cells', by_id['cells'].get('data-count'), sum(int(c.get('data-count')) for c in cells))\n"
    "bins = by_id['bins'].findall(n + 'rect')\n"
    "print('bins', by_id['bins'].get('data-count'), len(bins), sum(int(b.get('data-count')) for b in bins))\n"
    "print(by_id['note'].text if 'note' in by_id else 'no note')\n"
    "for axis in ('values-x', 'errors-x', 'errors-y'):\n"
    "    print(axis, ' '.join(t.text for t in by_id[axis].findall(n + 'text')))\n"
    "print(by_id['figures'].text)\n"
    "if 'scale' in by_id:\n"
    "    print('scale from', min(float(r.get('x')) for r in by_id['scale'].findall(n + 'rect')))\n";

struct Drawn {
  int status;
  std::string facts;
  std::size_t bytes;
};

// Runs the identity key over `data` with --plot and reads the picture back.
Drawn draw(const std::string& data) {
  ScratchDir dir;
  dir.write("k.key", testing::key_bytes(1, {{0.0, 1.0, "a", 0.0}}));
  dir.write("d.txt", data);
  dir.write("facts.py", SVG_FACTS);
  const testing::Outcome o = run_karva(dir, {"-y", "--plot", "fit.svg", "k.key", "d.txt", "o.txt"});
  const testing::Outcome facts = run_shell(dir, "{ python3 facts.py fit.svg && rsvg-convert fit.svg -o fit.png; }");
  EXPECT_EQ(facts.status, 0) << facts.err;
  const std::string svg = dir.read("fit.svg");
  for (const char* not_a_coordinate : {"nan\"", "inf\""}) EXPECT_EQ(svg.find(not_a_coordinate), std::string::npos);
  return {o.status, facts.out, svg.size()};
}

TEST(Plot, PointsBinsAndWhatIsLeftOut) {
  const Drawn d = draw("y x\n1 1.5\n2 2\n3 2.5\nnan 4\n5 inf\n6 6\n");
  EXPECT_EQ(d.status, 0);
  // The NaN target makes R-square NaN.
  EXPECT_EQ(d.facts.rfind("k.key on d.txt: 6 rows, R-square = not defined\npoints", 0), 0u) << d.facts;
  // Four finite rows: errors 0.5, 0, -0.5 and 0 in bins of round width.
  EXPECT_NE(d.facts.find("points 4 4\n"), std::string::npos) << d.facts;
  EXPECT_NE(d.facts.find(" 4\n2 rows with a NaN or infinite target or prediction are left out.\n"),
            std::string::npos)
      << d.facts;
}

TEST(Plot, ManyRowsAreADensityAndTheFileStaysSmall) {
  std::string data = "y x\n";
  for (int i = 0; i < 1'000'000; ++i) data += std::to_string(i % 1000) + " " + std::to_string((i * 7) % 1003) + "\n";
  const Drawn d = draw(data);
  EXPECT_EQ(d.status, 0);
  // The same rows in both panels; counts with thousands separators; the
  // scale of shades beside the panel (which ends at 435), not on it.
  EXPECT_NE(d.facts.find("1,000,000 rows, R-square = 0.000\ncells 1000000 1000000\nbins 25 25 1000000\nno note\n"),
            std::string::npos)
      << d.facts;
  EXPECT_NE(d.facts.find("errors-y 0 50,000 100,000 150,000\n"), std::string::npos) << d.facts;
  EXPECT_NE(d.facts.find("scale from 443"), std::string::npos) << d.facts;
  EXPECT_LT(d.bytes, 1'000'000u);
}

TEST(Plot, FewRowsWithAWildOneKeepTheirScaleAndFiguresSayWhatTheyAre) {
  struct Case {
    std::string data;
    std::vector<std::string> facts;  // parts of them
  };
  std::string wild = "y x\n";
  for (int i = 0; i < 441; ++i) wild += std::to_string(i % 9 - 4) + " " + std::to_string(i % 9 - 4 + (i % 3 - 1) * 0.5) + "\n";
  const Case cases[] = {
      // One prediction of 1e300 among 442 rows: the axes still span -4 to 4,
      // and the same 441 rows are drawn in both panels.
      {wild + "0 1e300\n",
       {"points 441 441\nbins 24 24 441\n1 row outside the axes is drawn in neither panel.\n", "values-x -6 -4 -2 0 2 4 6\n",
        "errors-x -0.6 -0.4 -0.2 0 0.2 0.4 0.6\n", "(1 - SSres/SStot) = -infinite; mean signed error (prediction - target) = "
        "2.26244e+297"}},
      {"y x\n1 1.5\n2 2\n3 2.5\n",
       {"coefficient of determination (1 - SSres/SStot) = 0.75; mean signed error (prediction - target) = 0\n"}},
      {"y x\n1 1.5\n2 inf\n3 2.5\n",
       {"coefficient of determination (1 - SSres/SStot) = not defined; mean signed error (prediction - target) = not "
        "defined\n"}},
  };
  for (const Case& c : cases) {
    const Drawn d = draw(c.data);
    EXPECT_EQ(d.status, 0);
    for (const std::string& part : c.facts) EXPECT_NE(d.facts.find(part), std::string::npos) << part << "\n" << d.facts;
  }
}

TEST(Plot, AtTheExtremesThePictureSaysWhatItLeavesOut) {
  struct Case {
    std::string data;
    std::string facts;  // a part of them
  };
  std::string wild = "y x\n";
  for (int i = 0; i < 3000; ++i) wild += std::to_string(i % 100) + " " + std::to_string(i % 100 + (i % 7) * 0.1) + "\n";
  wild += "1 1e301\n2 inf\n";
  const Case cases[] = {
      {"y x\n3 3\n3 3\n", "points 2 2\n"},  // a constant target still draws
      {wild, "points 3000 3000\n"},
      {wild, "1 row with a NaN or infinite target or prediction is left out. 1 row outside the axes is drawn in neither "
             "panel."},
      {"y x\n1 2\n", "One row: no fit can be seen in one point."},
      {"y x\n5.432309224876e-312 5.43230922487e-312\n5.43230922487e-312 5.432309224876e-312\n", "points 2 2\n"},  // subnormal, an ulp apart
      {"y x\nnan 1\nnan 2\n", "No row has a finite target and prediction."},
  };
  for (const Case& c : cases) {
    const Drawn d = draw(c.data);
    EXPECT_EQ(d.status, 0) << c.facts;
    EXPECT_NE(d.facts.find(c.facts), std::string::npos) << d.facts;
  }
}

}  // namespace
}  // namespace karva

namespace karva {
namespace {

TEST(Plot, TheTitleNamesFilesByBaseNameAndKeepsRSquare) {
  FitData fit;
  fit.targets = {1, 2, 3};
  fit.predictions = {1.5, 2, 2.5};
  const std::string long_name(60, 'd');
  const std::string svg = plot_svg(fit, fit_statistics(fit),
                                   {"/models/2026/k.key", "/data/exports/" + long_name + ".csv", "y", "0.993", "p"});
  const std::string title = svg.substr(svg.find("id=\"title\""), svg.find("</text>", svg.find("id=\"title\"")) -
                                                                     svg.find("id=\"title\""));
  EXPECT_NE(title.find(">k.key on " + long_name.substr(0, 29) + "...: 3 rows, R-square = 0.993"), std::string::npos)
      << title;
  EXPECT_NE(svg.find(">p</text>"), std::string::npos);  // the prediction's axis
}

}  // namespace
}  // namespace karva
