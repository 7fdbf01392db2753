#pragma once
// Prepares the calling thread for COM automation (a multithreaded apartment) where COM exists;
// does nothing elsewhere.
void initializeComForThread();
