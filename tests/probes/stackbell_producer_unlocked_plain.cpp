// The same program built the usual way: the producer's pushes are between calls, where interleave does not look.
// interleave: 0: nothing may be reported: stackbell's rules cannot place a push made without the lock, so they judge nothing after it, rather than call a product consumed before it was pushed
#include "stackbell_producer_unlocked.cpp"
