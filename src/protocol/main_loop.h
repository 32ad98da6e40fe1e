// The process: reader loop on the main thread, one worker thread that runs the
// think driver once per job, and the hand-over between the two.
//
// Hand-over. The main thread gives the worker a job with startThinking and
// takes it back with stopThinking, which raises the stop request and waits
// until the worker reports itself idle. Each flag has its own mutex and
// condition variable; the two mutexes are never held together, and neither is
// held while the worker thinks. Every startThinking follows a stopThinking on
// the main thread, so the worker is waiting for `go` whenever `idle` is
// cleared.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>

constexpr int COMMAND_LINE_SIZE = 8192;   // at most 8191 characters and a zero
extern char commandLine[COMMAND_LINE_SIZE];

constexpr int JobThink = 0;
constexpr int JobQuit = -1;

struct WorkerControl {
  bool go = false;                  // a job is waiting (guarded by goMutex)
  std::mutex goMutex;
  std::condition_variable goSignal;
  bool idle = false;                // no job in hand (guarded by idleMutex); the worker
                                    // starts busy with the table warm-up
  std::mutex idleMutex;
  std::condition_variable idleSignal;
  int job = JobThink;               // written by the main thread before a wake-up
};

extern WorkerControl worker;

// Reads one line of at most 8191 characters (the rest is dropped) into
// commandLine without its LF or CR LF; false at end of input.
bool readCommandLine();
bool readCommandLine(std::FILE* input);

void startThinking();
void stopThinking();
void workerLoop();

// The whole process from start-up to the ordered shutdown; returns the exit code.
int runEngine();
