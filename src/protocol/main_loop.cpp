#include "protocol/main_loop.h"

#include <ctime>
#include <memory>
#include <thread>

#include "protocol/protocol.h"

FrontEnd::FrontEnd() { engine.out = printLine; }

bool FrontEnd::readCommandLine() {
  int stored = 0;
  for (;;) {
    int c = std::getc(input);
    if (c == EOF) return false;   // a last line without its LF is never executed
    if (stored < COMMAND_LINE_SIZE) commandLine[stored++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  // Over the LF when the line fitted, else over the 8192nd character.
  commandLine[stored - 1] = '\0';
  int length = stored - 1;
  if (length > 0 && commandLine[length - 1] == '\r') commandLine[length - 1] = '\0';
  return true;
}

#ifdef RUVAN_SINGLE_THREAD

// One thread only (the WebAssembly build in a browser worker): a think runs
// inline on the caller and is over when startThinking returns, so there is
// never anything to stop or wait for. STOP cannot reach such a think; the
// time per move is what bounds it.
void FrontEnd::startThinking() {
  engine.stopRequested = 0;
  engine.thinkOrigin = commandTime;
  engine.think();
}

void FrontEnd::stopThinking() {}

#else

void FrontEnd::startThinking() {
  engine.stopRequested = 0;
  engine.thinkOrigin = commandTime;
  {
    // The think thread is waiting for `go` here; the lock only keeps the
    // hand-over visibly ordered for race checkers.
    std::lock_guard<std::mutex> lock(worker.idleMutex);
    worker.idle = false;
  }
  {
    std::lock_guard<std::mutex> lock(worker.goMutex);
    worker.go = true;
  }
  worker.goSignal.notify_one();
}

void FrontEnd::stopThinking() {
  engine.stopRequested = 1;
  std::unique_lock<std::mutex> lock(worker.idleMutex);
  worker.idleSignal.wait(lock, [this] { return worker.idle; });
}

void FrontEnd::workerLoop() {
  auto reportIdle = [this] {
    {
      std::lock_guard<std::mutex> lock(worker.idleMutex);
      worker.idle = true;
    }
    worker.idleSignal.notify_one();
  };
  // The big tables are built while the manager is still starting the game, so
  // that the first move is not charged with them; the first command that
  // touches the board waits for this (it stops thinking first).
  engine.warmUp();
  reportIdle();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(worker.goMutex);
      worker.goSignal.wait(lock, [this] { return worker.go; });
      worker.go = false;
    }
    if (worker.job == JobQuit) return;
    engine.think();
    // The opponent's time: move the tables onto huge pages a chunk at a time
    // until the reader wants the thread back. Only after a think, since by
    // then the manager has said how much memory the tables may have. The
    // thread is not idle while it does this: every command that needs it
    // (a new job, or one that clears or resizes the tables) first raises the
    // stop request in stopThinking and waits for the chunk in hand.
    while (engine.stopRequested.load() == 0 && engine.promoteTables()) {
    }
    reportIdle();
  }
}

void FrontEnd::shutDown() {
  // The quit job is set only once the think thread is idle: set earlier, it
  // could be read by a thread that has just been woken for a think, which
  // would then end without ever reporting itself idle.
  stopThinking();
  worker.job = JobQuit;
  startThinking();
}

int FrontEnd::run() {
  std::thread thread(&FrontEnd::workerLoop, this);
  while (readCommandLine()) {
    if (handleCommand()) break;
  }
  shutDown();
  thread.join();
  return 0;
}

int runEngine() {
  seedRandom(static_cast<uint32_t>(std::time(nullptr)));
  // About 40 MiB of fixed records: on the heap, not the stack.
  std::unique_ptr<FrontEnd> frontEnd(new FrontEnd);
  return frontEnd->run();
}

#endif  // RUVAN_SINGLE_THREAD
