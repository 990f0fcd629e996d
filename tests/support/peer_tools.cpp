#include "tests/support/peer_tools.h"

#include <filesystem>
#include <regex>
#include <sstream>

#include "burner/platform/text.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

// A problem xorriso reports on stderr while it may still exit with 0.
bool XorrisoComplained(const RunResult& r) {
  return std::regex_search(r.err, std::regex("FAILURE|SORRY|MISHAP|FATAL"));
}

// Undoes xorriso's shell quoting: 'abc'"'"'def' is abc'def.
std::string Unquote(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const char q = text[i];
    if (q == '\'' || q == '"') {
      const size_t end = text.find(q, i + 1);
      const size_t stop = end == std::string_view::npos ? text.size() : end;
      out.append(text.substr(i + 1, stop - i - 1));
      i = stop + 1;
    } else {
      out.push_back(q);
      ++i;
    }
  }
  return out;
}

}  // namespace

bool HaveTool(const std::string& program) {
  static std::map<std::string, bool> known;
  auto it = known.find(program);
  if (it == known.end()) it = known.emplace(program, HaveProgram(program)).first;
  return it->second;
}

RunResult RunTool(const std::vector<std::string>& argv, int timeout_seconds) {
  std::vector<std::string> full = {"env", "LC_ALL=C.UTF-8", "TZ=UTC0"};
  full.insert(full.end(), argv.begin(), argv.end());
  return Run(full, timeout_seconds);
}

Extraction Extract(const std::string& reader, const std::string& image, const std::string& dir,
                   std::optional<uint32_t> session) {
  std::filesystem::create_directories(dir);
  RunResult r;
  if (reader == "7z") {
    r = RunTool({"7z", "x", "-y", "-o" + dir, image});
  } else if (reader == "bsdtar") {
    r = RunTool({"bsdtar", "-x", "-f", image, "-C", dir});
  } else {
    std::vector<std::string> argv = {"xorriso", "-osirrox", "on"};
    if (session) argv.insert(argv.end(), {"-load", "sbsector", std::to_string(*session)});
    argv.insert(argv.end(), {"-indev", image, "-extract", "/", dir});
    r = RunTool(argv);
  }
  Extraction e;
  e.log = reader + ": " + Describe(r);
  e.ok = r.status == 0 && !(reader == "xorriso" && XorrisoComplained(r));
  e.tree = ReadTree(dir);
  return e;
}

RunResult StreamFile(const std::string& reader, const std::string& image, const std::string& path,
                     const std::function<void(std::string_view)>& sink, int timeout_seconds) {
  const std::string relative = path.starts_with('/') ? path.substr(1) : path;
  std::vector<std::string> argv = {"env", "LC_ALL=C.UTF-8", "TZ=UTC0"};
  if (reader == "7z") {
    argv.insert(argv.end(), {"7z", "e", "-so", image, relative});
  } else if (reader == "bsdtar") {
    argv.insert(argv.end(), {"bsdtar", "-x", "-O", "-f", image, relative});
  } else {
    // -concat overwrite to "-": the data on stdout, xorriso's messages on stderr.
    argv.insert(argv.end(),
                {"xorriso", "-osirrox", "on", "-indev", image, "-concat", "overwrite", "-", "/" + relative});
  }
  RunResult r = RunStreaming(argv, sink, timeout_seconds);
  if (reader == "xorriso" && r.status == 0 && XorrisoComplained(r)) r.status = 1;
  return r;
}

std::map<std::string, XorrisoEntry> XorrisoList(const std::string& image, std::string& log) {
  const RunResult r = RunTool({"xorriso", "-indev", image, "-find", "/", "-exec", "lsdl"});
  log = "xorriso: " + Describe(r);
  std::map<std::string, XorrisoEntry> entries;
  if (r.status != 0 || XorrisoComplained(r)) {
    entries["<xorriso failed>"] = {};
    return entries;
  }
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || (line[0] != '-' && line[0] != 'd')) continue;
    const size_t quote = line.find('\'');
    if (quote == std::string::npos) continue;
    std::istringstream fields(line.substr(0, quote));
    std::string mode, links, uid, gid;
    XorrisoEntry e;
    fields >> mode >> links >> uid >> gid >> e.size;
    e.dir = line[0] == 'd';
    std::string path = Unquote(line.substr(quote));
    if (path == "/") continue;
    if (path.starts_with('/')) path.erase(0, 1);
    if (e.dir) path.push_back('/');
    entries[path] = e;
  }
  return entries;
}

std::vector<IsoRecord> IsoinfoList(const std::string& image, bool joliet, std::string& log) {
  std::vector<std::string> argv = {"isoinfo", "-l", "-i", image};
  if (joliet) argv.insert(argv.begin() + 1, {"-J", "-j", "iso8859-1"});
  const RunResult r = RunTool(argv);
  log = "isoinfo: " + Describe(r);
  std::vector<IsoRecord> records;
  if (r.status != 0) return records;
  static const std::regex kRecord(
      R"(^([d-])\S{9}\s+\d+\s+\d+\s+\d+\s+(\d+)\s+\S+\s+\d+\s+\d+\s+\[\s*(\d+)\s+([0-9A-Fa-f]+)\]\s\s(.*)$)");
  std::string folder;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("Directory listing of ")) {
      folder = line.substr(21);
      if (joliet) folder = Latin1ToUtf8(folder);
      if (folder.starts_with('/')) folder.erase(0, 1);
      continue;
    }
    std::smatch m;
    if (!std::regex_match(line, m, kRecord)) continue;
    IsoRecord rec;
    rec.dir = m[1] == "d";
    rec.size = std::stoll(m[2]);
    rec.extent = std::stoll(m[3]);
    rec.flags = std::stoi(m[4], nullptr, 16);
    rec.name = m[5];
    if (rec.name.ends_with(' ')) rec.name.pop_back();
    if (joliet) rec.name = Latin1ToUtf8(rec.name);
    if (rec.name == "." || rec.name == "..") continue;
    rec.path = folder + rec.name + (rec.dir ? "/" : "");
    records.push_back(rec);
  }
  return records;
}

VolumeInfo IsoinfoDescriptors(const std::string& image) {
  const RunResult r = RunTool({"isoinfo", "-d", "-i", image});
  VolumeInfo v;
  v.log = "isoinfo -d: " + Describe(r);
  v.ok = r.status == 0;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("Volume id: ")) v.id = line.substr(11);
    if (line.starts_with("Volume size is: ")) v.sectors = std::stoll(line.substr(16));
    if (line.starts_with("Joliet with UCS level")) v.joliet = true;
    if (line.starts_with("NO Joliet present")) v.says_no_joliet = true;
  }
  return v;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  for (char c : bytes) AppendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

}  // namespace zamo::test
