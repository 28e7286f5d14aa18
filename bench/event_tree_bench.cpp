// The pending-event tree at rescan sizes: push N files into one folder,
// then pop and finish them; the same with paths 50 folders deep; and pop
// with 8 files in progress in front of the waiting ones. Items are events:
// the time per event at 100k must stay within twice that at 10k.
//
// The logger is left at its defaults (warnings and errors), as in the
// daemon: Push and Pop must not build the text of a filtered-out line.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "session/event.h"
#include "session/event_list2.h"

namespace {

Event FileEvent(const std::string& path) {
  Event e;
  e.m_type = Event::EV_CREATE;
  e.m_path = path;
  e.m_data_hash = "0123456789abcdef0123456789abcdef";
  e.m_data_size = 4096;
  e.m_sess_id = 1;
  return e;
}

std::vector<Event> OneFolder(int n) {
  std::vector<Event> events;
  events.reserve(n);
  for (int i = 0; i < n; ++i) events.push_back(FileEvent("/rescan/file-" + std::to_string(i) + ".dat"));
  return events;
}

std::vector<Event> Deep(int n) {
  std::string base;
  for (int d = 0; d < 49; ++d) base += "/level" + std::to_string(d);
  std::vector<Event> events;
  events.reserve(n);
  // 50 components: 48 shared folders, one of 100 leaf folders, the file.
  for (int i = 0; i < n; ++i) {
    events.push_back(FileEvent(base.substr(0, base.rfind('/')) + "/leaf" + std::to_string(i % 100) +
                               "/file-" + std::to_string(i)));
  }
  return events;
}

// Pops and finishes until nothing is left; the number handled.
int PopAndDoneAll(EventList2& tree) {
  int handled = 0;
  Event e;
  while (tree.Pop(e) == 0) {
    if (tree.DoneEvent(e) != 0) std::abort();
    ++handled;
  }
  return handled;
}

void PushAll(EventList2& tree, const std::vector<Event>& events) {
  for (const Event& e : events) {
    if (tree.Push(e) != 0) std::abort();
  }
}

void BM_PushThenPopDone_OneFolder(benchmark::State& state) {
  const std::vector<Event> events = OneFolder(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    EventList2 tree;
    PushAll(tree, events);
    if (PopAndDoneAll(tree) != static_cast<int>(events.size())) std::abort();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(events.size()));
}
BENCHMARK(BM_PushThenPopDone_OneFolder)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_Push_OneFolder(benchmark::State& state) {
  const std::vector<Event> events = OneFolder(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    EventList2 tree;
    PushAll(tree, events);
    state.PauseTiming();
    tree.Clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(events.size()));
}
BENCHMARK(BM_Push_OneFolder)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_PopDone_OneFolder(benchmark::State& state) {
  const std::vector<Event> events = OneFolder(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    EventList2 tree;
    PushAll(tree, events);
    state.ResumeTiming();
    if (PopAndDoneAll(tree) != static_cast<int>(events.size())) std::abort();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(events.size()));
}
BENCHMARK(BM_PopDone_OneFolder)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_PushThenPopDone_Depth50(benchmark::State& state) {
  const std::vector<Event> events = Deep(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    EventList2 tree;
    PushAll(tree, events);
    if (PopAndDoneAll(tree) != static_cast<int>(events.size())) std::abort();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(events.size()));
}
BENCHMARK(BM_PushThenPopDone_Depth50)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Eight tasks hold files at the front of the folder while the rest are
// popped and finished behind them.
void BM_PopDoneBehind8Processing(benchmark::State& state) {
  const std::vector<Event> events = OneFolder(static_cast<int>(state.range(0)));
  int64_t handled = 0;
  for (auto _ : state) {
    state.PauseTiming();
    EventList2 tree;
    PushAll(tree, events);
    Event held[8];
    for (Event& h : held) {
      if (tree.Pop(h) != 0) std::abort();
    }
    state.ResumeTiming();
    handled += PopAndDoneAll(tree);
    state.PauseTiming();
    for (Event& h : held) {
      if (tree.DoneEvent(h) != 0) std::abort();
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(handled);
}
BENCHMARK(BM_PopDoneBehind8Processing)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
