// The agent's last known state, kept per user in an INI file, and its
// reconciliation with the process list at start-up.
#pragma once

#include <time.h>

// 0 means running; any other value means stopped.
typedef int AgentState;

const AgentState kAgentRunning = 0;
const AgentState kAgentStopped = 1;

// The state start-up settled on; the tray's first look follows it.
extern AgentState g_agentState;

// Ten characters and a terminator.
struct StateValue {
    char text[11];
};

// Reads the stored state (running when there is none) into g_agentState and returns it.
AgentState ReadAgentState();

// The stored form of a state at a time: six time digits, the state digit, three time digits.
StateValue EncodeStateValue(__time64_t time, AgentState state);

// 0 when written, -1 when the profile write failed, 100 when the folder cannot be resolved.
int WriteAgentState(AgentState state);

// Brings the stored state into line with the process list; true when the agent was found.
bool ReconcileAgentState();
