// The image fixtures of the Images tests (files written by the reference libraries), built
// into this test executable too.
#include "Tests/Platform/Images/ImageFixtures.cpp"
