#pragma once
// The window thread's event pump as the library sees it. Where no event loop
// runs (a plain command-line host) both calls return at once.
namespace Vizu2000 {

// Handles every event that is pending now and returns.
void ProcessMessages();

// Blocks until at least one event has arrived, handles what is pending and
// returns; returns early after maxWaitMs milliseconds (negative: no bound).
// This is how a wait for the network stays idle instead of spinning.
void WaitForEvents(int maxWaitMs);

}  // namespace Vizu2000
