// Randomized model-based test of the pending-event tree: simulated tasks
// pop, finish and give back events while producers push, and after every
// step the tree is checked against what the tasks hold and against a
// recount of its own nodes. Fixed seeds, plus one from EVENT_TREE_SEED
// (or the clock when unset); a failure prints the seed and the last
// operations.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "event_list2_fixture.h"

namespace event_list2_test {
namespace {

using Node = EventList2Inspector::Node;

// "/" + the components joined by "/"; runs of "/" count as one.
std::string Norm(const std::string& path) {
  std::string out;
  size_t i = 0;
  while (i < path.size()) {
    if (path[i] == '/') {
      ++i;
      continue;
    }
    size_t end = path.find('/', i);
    if (end == std::string::npos) end = path.size();
    out += '/';
    out.append(path, i, end - i);
    i = end;
  }
  return out.empty() ? "/" : out;
}

// About 200 paths: the root, every path of depth 1-3 over four names (one
// with a "\\"), some of depth 4, and one path over 4,096 bytes.
std::vector<std::string> MakePaths() {
  const std::vector<std::string> names = {"a", "b", "c\\d", "e"};
  std::vector<std::string> paths = {"/"};
  std::vector<std::string> level = {""};
  for (int depth = 1; depth <= 3; ++depth) {
    std::vector<std::string> next;
    for (const std::string& p : level) {
      for (const std::string& n : names) next.push_back(p + "/" + n);
    }
    paths.insert(paths.end(), next.begin(), next.end());
    level = next;
  }
  std::mt19937 pick(7);
  for (int i = 0; i < 110; ++i) paths.push_back(level[pick() % level.size()] + "/" + names[pick() % 4]);
  const std::string long_name(4200, 'L');
  paths.push_back("/" + long_name);
  paths.push_back("/a/" + long_name + "/x");
  return paths;
}

class Model {
 public:
  Model(EventList2& tree, uint64_t seed) : tree_(tree), rng_(seed), paths_(MakePaths()) {}

  // Runs `steps` random operations, then drains; "" or the first problem.
  std::string Run(int steps) {
    for (int i = 0; i < steps; ++i) {
      std::string problem = Step();
      if (problem.empty()) problem = Check();
      if (!problem.empty()) return "step " + std::to_string(i) + ": " + problem;
    }
    std::string problem = Drain();
    if (!problem.empty()) return "drain: " + problem;
    return "";
  }

  std::string LastOperations() const {
    std::string out;
    for (const std::string& op : ops_) out += "  " + op + "\n";
    return out;
  }

 private:
  struct TaskSlot {
    bool busy = false;
    Event ev;
  };

  uint64_t Rand(uint64_t n) { return rng_() % n; }

  void Note(const std::string& op) {
    ops_.push_back(op);
    if (ops_.size() > 40) ops_.pop_front();
  }

  static std::string Short(const Event& e) {
    std::string s = e.toString().c_str_utf8();
    return s.size() > 160 ? s.substr(0, 160) + "..." : s;
  }

  static std::pair<std::string, bool> Key(const Event& e) {
    std::string p = Norm(e.m_path.c_str_utf8());
    return {p, p == "/" || e.isDir()};
  }

  std::string Step() {
    uint64_t r = Rand(100);
    if (r < 45) return Push();
    size_t t = Rand(tasks_.size());
    if (!tasks_[t].busy) return PopInto(t);
    return Finish(t, Rand(10) == 0);
  }

  std::string Push() {
    const std::string& base = paths_[Rand(paths_.size())];
    Event e;
    e.m_type = static_cast<Event::Type>(1 + Rand(4));
    bool dir = base == "/" || Rand(2) == 0;
    bool server = Rand(2) == 0;
    e.m_mode = (dir ? kDir : 0u) | (server ? kServer : 0u);
    if (server) e.m_sync_id = Rand(20) == 0 ? MAX_SYNC_ID : 1 + Rand(200);
    // Another spelling of the same node now and then.
    e.m_path = (base != "/" && Rand(10) == 0) ? ("/" + base).c_str() : base.c_str();
    e.m_data_hash = std::to_string(++serial_).c_str();
    e.m_data_size = serial_;
    Note("push " + Short(e));
    Event old;
    if (tree_.Push(e, old) != 0) return "push refused: " + Short(e);
    return "";
  }

  std::string PopInto(size_t t) {
    Event e;
    if (tree_.Pop(e) != 0) {
      Note("task " + std::to_string(t) + " pop: none");
      return "";
    }
    Note("task " + std::to_string(t) + " pop " + Short(e));
    for (const TaskSlot& other : tasks_) {
      if (other.busy && Key(other.ev) == Key(e)) return "handed out twice: " + Short(e);
    }
    tasks_[t].busy = true;
    tasks_[t].ev = e;
    return "";
  }

  std::string Finish(size_t t, bool redo) {
    TaskSlot& slot = tasks_[t];
    const std::string who = "task " + std::to_string(t);
    if (redo) {
      Note(who + " redo " + Short(slot.ev));
      if (tree_.Redo(slot.ev.m_path, slot.ev.isDir()) != 0) return "redo refused: " + Short(slot.ev);
      slot.busy = false;
      return "";
    }
    int rc = tree_.DoneEvent(slot.ev);
    Note(who + " done " + Short(slot.ev) + " -> " + std::to_string(rc));
    if (rc == 0) {
      slot.busy = false;
      return "";
    }
    // A newer event was merged in meanwhile: it is this task's to carry out.
    Event next;
    if (tree_.Pop(slot.ev.m_path, slot.ev.isDir(), next) != 0) {
      return "done refused and nothing to take by path: " + Short(slot.ev);
    }
    Note(who + " pop by path " + Short(next));
    if (Key(next) != Key(slot.ev)) return "pop by path gave another node: " + Short(next);
    slot.ev = next;
    return "";
  }

  std::string Drain() {
    for (size_t t = 0; t < tasks_.size(); ++t) {
      for (int guard = 0; tasks_[t].busy; ++guard) {
        if (guard > 10) return "task does not finish";
        std::string problem = Finish(t, false);
        if (problem.empty()) problem = Check();
        if (!problem.empty()) return problem;
      }
    }
    for (;;) {
      std::string problem = PopInto(0);
      if (problem.empty()) problem = Check();
      if (!problem.empty()) return problem;
      if (!tasks_[0].busy) break;
      for (int guard = 0; tasks_[0].busy; ++guard) {
        if (guard > 10) return "task does not finish";
        problem = Finish(0, false);
        if (problem.empty()) problem = Check();
        if (!problem.empty()) return problem;
      }
    }
    std::vector<Node> nodes = EventList2Inspector::Nodes(tree_);
    if (nodes.size() != 1 || nodes[0].status != EventList2::DONE) {
      return "not a bare DONE root after draining (" + std::to_string(nodes.size()) + " nodes)";
    }
    if (!tree_.IsEmpty() || tree_.GetLocalEventCount() != 0 || tree_.GetServerEventCount() != 0) {
      return "counts not 0 after draining";
    }
    if (nodes[0].ref_local != 0 || nodes[0].ref_server != 0) return "root in-progress counters not 0";
    return "";
  }

  // The invariants of the tree, against its own nodes and the tasks.
  std::string Check() {
    const std::vector<Node> nodes = EventList2Inspector::Nodes(tree_);
    if (!EventList2Inspector::IndexesConsistent(tree_)) return "name index out of step with its list";

    int local = 0, server = 0;
    std::map<std::string, std::pair<int, int>> refs;  // folder -> (server, local) in progress
    std::map<std::string, std::string> parent_of;
    std::set<std::pair<std::string, bool>> held_nodes;
    for (const Node& n : nodes) {
      if (n.is_dir) parent_of[n.path] = n.parent;
    }
    for (const Node& n : nodes) {
      const std::string where = n.path + (n.is_dir ? " (folder)" : " (file)");
      const bool has_event = n.status != EventList2::DONE;
      if (has_event != EventList2::IsValid(n.attr)) return where + ": event and status disagree";
      if (!n.is_dir && n.status == EventList2::DONE) return where + ": DONE file";
      if (n.is_dir && n.path != "/" && n.status == EventList2::DONE && !n.has_children) {
        return where + ": DONE folder with nothing below";
      }
      if (!has_event) continue;
      if (Norm(n.attr.path.c_str_utf8()) != n.path) return where + ": holds the event of " + n.attr.path.c_str_utf8();
      if (n.path != "/" && EventList2::IsDir(n.attr) != n.is_dir) return where + ": event of the other kind";
      (EventList2::IsServerEvent(n.attr) ? server : local)++;
      if (n.status == EventList2::PROCESSING || n.status == EventList2::RETRY) {
        held_nodes.insert({n.path, n.is_dir});
      }
      if (n.status == EventList2::PROCESSING) {
        const bool srv = EventList2::IsServerEvent(n.attr);
        std::string p = n.path == "/" ? "/" : n.parent;
        while (!p.empty()) {
          (srv ? refs[p].first : refs[p].second)++;
          p = parent_of[p];
        }
      }
    }
    if (local != tree_.GetLocalEventCount() || server != tree_.GetServerEventCount()) {
      std::ostringstream s;
      s << "counts " << tree_.GetLocalEventCount() << "/" << tree_.GetServerEventCount()
        << " but nodes " << local << "/" << server;
      return s.str();
    }
    for (const Node& n : nodes) {
      if (!n.is_dir) continue;
      auto expected = refs[n.path];
      if (n.ref_server != expected.first || n.ref_local != expected.second) {
        std::ostringstream s;
        s << n.path << ": in-progress counters " << n.ref_server << "/" << n.ref_local << ", expected "
          << expected.first << "/" << expected.second;
        return s.str();
      }
    }
    std::set<std::pair<std::string, bool>> held_by_tasks;
    for (const TaskSlot& t : tasks_) {
      if (t.busy) held_by_tasks.insert(Key(t.ev));
    }
    if (held_by_tasks != held_nodes) return "held events differ from PROCESSING/RETRY nodes";
    return "";
  }

  EventList2& tree_;
  std::mt19937_64 rng_;
  std::vector<std::string> paths_;
  std::vector<TaskSlot> tasks_ = std::vector<TaskSlot>(4);
  std::deque<std::string> ops_;
  uint64_t serial_ = 0;
};

void RunModel(EventList2& tree, uint64_t seed, int steps) {
  Model model(tree, seed);
  std::string problem = model.Run(steps);
  if (!problem.empty()) {
    FAIL() << "seed " << seed << ", " << problem << "\nlast operations:\n" << model.LastOperations();
  }
}

class ModelTest : public TreeTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(ModelTest, RandomOperationsKeepTheInvariants) { RunModel(list, GetParam(), 3000); }

INSTANTIATE_TEST_SUITE_P(FixedSeeds, ModelTest, ::testing::Values(1, 2, 3, 4, 5, 6, 7, 8));

TEST_F(TreeTest, ModelWithSeedFromTheEnvironment) {
  uint64_t seed;
  if (const char* env = std::getenv("EVENT_TREE_SEED")) {
    seed = std::strtoull(env, nullptr, 10);
  } else {
    seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  std::printf("EVENT_TREE_SEED=%llu\n", static_cast<unsigned long long>(seed));
  RunModel(list, seed, 3000);
}

}  // namespace
}  // namespace event_list2_test
