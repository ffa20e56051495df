// Test helpers for offline delivery: a fake client file port that records
// what the server sends.
#pragma once
