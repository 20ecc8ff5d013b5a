// The command path without Python: RadarHandle::command on the benchmark
// workloads, for profiling (perf, callgrind) and for instruction counts that
// a noisy machine cannot disturb.
//
//   python3 benchmarks/run.py --dump DIR        # writes the workloads
//   bench_commands DIR [repeats=5] [only=feed,batch,alerts,scan]
//
// DIR holds spec.json (the spec, threshold 0), feed.txt (one "feed" command
// per line), batch.json (one "feed_batch"), history.txt (one "feed_batch"
// per symbol, for "alerts"), scan.json (one "scan"), recording.jsonl (a
// recording of 2,000,000 events) and recording_batches.txt (the same events
// as "feed_batch" commands of up to 1,000 events). Prints the median time per
// command of each workload; "replay" compares the line feeder, fed 4 MB
// blocks of the recording, with the same events as "feed_batch" commands;
// "shard" compares a shard reader (the whole recording, one shard of one and
// one of two, units of 2^19 lines applied one unit behind, as a replay by
// parts runs) with the line feeder on this thread alone.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "crates/radar-core/src/protocol/radar_handle.hpp"
#include "crates/radar-core/src/replay/line_feeder.hpp"
#include "crates/radar-core/src/replay/shard_reader.hpp"
#include "crates/radar-core/src/spec_decode.hpp"
#include "crates/radar-core/src/worker_pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> read_lines(const std::string& path) {
  std::istringstream in(read_file(path));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(std::move(line));
  }
  return lines;
}

fenmor::RadarHandle make_radar(const std::string& spec_text) {
  auto spec = fenmor::decode_spec_text(spec_text);
  if (!spec) {
    std::fprintf(stderr, "bad spec: %s\n", spec.error().text().c_str());
    std::exit(2);
  }
  auto compiled = fenmor::CompiledSpec::compile(std::move(*spec));
  if (!compiled) {
    std::fprintf(stderr, "bad spec: %s\n", compiled.error().text().c_str());
    std::exit(2);
  }
  return fenmor::RadarHandle(std::move(*compiled));
}

void expect(std::string_view reply, std::string_view wanted, const char* what) {
  if (reply != wanted) {
    std::fprintf(stderr, "%s: unexpected reply %.200s\n", what, std::string(reply).c_str());
    std::exit(1);
  }
}

template <class F>
double median_ns(int repeats, F&& run) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    run();
    times.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_commands DIR [repeats] [only]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string only = argc > 3 ? argv[3] : "feed,batch,alerts,scan,replay,shard";
  const auto wanted = [&](const char* name) { return only.find(name) != std::string::npos; };
  const std::string spec = read_file(dir + "/spec.json");
  constexpr std::string_view ok = R"({"ok":true})";

  if (wanted("feed")) {
    const auto feeds = read_lines(dir + "/feed.txt");
    fenmor::RadarHandle radar = make_radar(spec);
    for (const auto& text : feeds) expect(radar.command(text), ok, "feed");
    const double ns = median_ns(repeats, [&] {
      for (const auto& text : feeds) radar.command(text);
    });
    std::printf("feed        %10.1f ns per command (%zu commands)\n",
                ns / static_cast<double>(feeds.size()), feeds.size());
  }
  if (wanted("batch")) {
    const std::string batch = read_file(dir + "/batch.json");
    fenmor::RadarHandle radar = make_radar(spec);
    expect(radar.command(batch), ok, "feed_batch");
    const double ns = median_ns(repeats, [&] { radar.command(batch); });
    std::printf("feed_batch  %10.1f us (%.0f MB/s)\n", ns / 1e3,
                static_cast<double>(batch.size()) / ns * 1e3);
  }
  if (wanted("alerts")) {
    fenmor::RadarHandle radar = make_radar(spec);
    for (const auto& text : read_lines(dir + "/history.txt")) {
      expect(radar.command(text), ok, "history");
    }
    std::size_t size = 0;
    const double ns = median_ns(repeats, [&] { size = radar.command(R"({"cmd":"alerts"})").size(); });
    std::printf("alerts      %10.1f us (%zu bytes of reply, %zu symbols)\n", ns / 1e3, size,
                radar.dataset().len());
  }
  if (wanted("scan")) {
    const std::string scan = read_file(dir + "/scan.json");
    fenmor::RadarHandle radar = make_radar(spec);
    const double ns = median_ns(repeats, [&] { radar.command(scan); });
    std::printf("scan        %10.1f us (%.0f MB/s)\n", ns / 1e3,
                static_cast<double>(scan.size()) / ns * 1e3);
  }
  if (wanted("replay")) {
    const std::string recording = read_file(dir + "/recording.jsonl");
    const auto batches = read_lines(dir + "/recording_batches.txt");
    std::size_t events = 0;
    for (char c : recording) events += c == '\n' ? 1 : 0;
    const double batch_ns = median_ns(repeats, [&] {
      fenmor::RadarHandle radar = make_radar(spec);
      for (const auto& text : batches) expect(radar.command(text), ok, "feed_batch");
    });
    std::size_t items = 0;
    const double feeder_ns = median_ns(repeats, [&] {
      std::vector<fenmor::RadarHandle> radars;
      radars.push_back(make_radar(spec));
      fenmor::replay::LineFeeder feeder(std::move(radars), {100'000, std::nullopt}, false);
      std::vector<fenmor::replay::FeederItem> out;
      constexpr std::size_t block = std::size_t{4} << 20;
      for (std::size_t at = 0; at < recording.size(); at += block) {
        feeder.feed(std::string_view(recording).substr(at, block), out);
        items += out.size();
        out.clear();
      }
      feeder.finish(true, out);
      if (feeder.events() != events || feeder.bad_lines() != 0) {
        std::fprintf(stderr, "replay: %zu events fed of %zu\n",
                     static_cast<std::size_t>(feeder.events()), events);
        std::exit(1);
      }
    });
    const double batch_rate = static_cast<double>(events) / batch_ns * 1e9;
    const double feeder_rate = static_cast<double>(events) / feeder_ns * 1e9;
    std::printf("feed_batch  %10.0f events/s (%zu events, %zu commands)\n", batch_rate, events,
                batches.size());
    std::printf("line feeder %10.0f events/s (every 100000 events; %.2f of feed_batch)\n",
                feeder_rate, feeder_rate / batch_rate);
  }
  if (wanted("shard")) {
    const std::string recording = read_file(dir + "/recording.jsonl");
    std::size_t lines = 0;
    for (char c : recording) lines += c == '\n' ? 1 : 0;
    constexpr std::size_t block = std::size_t{4} << 20;
    const auto radars = [&] {
      std::vector<fenmor::RadarHandle> made;
      made.push_back(make_radar(spec));
      return made;
    };
    const auto feeder_ns = median_ns(repeats, [&] {
      fenmor::replay::LineFeeder feeder(radars(), {100'000, std::nullopt}, false);
      std::vector<fenmor::replay::FeederItem> out;
      for (std::size_t at = 0; at < recording.size(); at += block) {
        feeder.feed(std::string_view(recording).substr(at, block), out);
        out.clear();
      }
      feeder.finish(true, out);
    });
    const auto shard_ns = [&](std::uint64_t shards) {
      return median_ns(repeats, [&] {
        fenmor::replay::ShardReader reader(radars(), 0, shards, std::nullopt, std::uint64_t{1} << 19);
        std::uint64_t taken = 0;
        const auto take = [&] {
          reader.take_unit();
          if (++taken > 1) reader.apply(taken - 1, 0);
        };
        reader.start_part(true);
        for (std::size_t at = 0; at < recording.size(); at += block) {
          for (bool full = reader.read(std::string_view(recording).substr(at, block)); full;
               full = reader.read({})) {
            take();
          }
        }
        while (reader.end_part(true)) take();
        take();
        reader.apply(taken, 0);
      });
    };
    const double one = shard_ns(1);
    const double two = shard_ns(2);
    const auto per_line = [&](double ns) { return ns / static_cast<double>(lines); };
    std::printf("line feeder %10.1f ns per line (%zu lines, %zu pool threads)\n", per_line(feeder_ns),
                lines, fenmor::shared_worker_pool().parallelism());
    std::printf("shard 1/1   %10.1f ns per line (%.2f of the line feeder)\n", per_line(one),
                one / feeder_ns);
    std::printf("shard 1/2   %10.1f ns per line (%.2f of the line feeder)\n", per_line(two),
                two / feeder_ns);
  }
  return 0;
}
