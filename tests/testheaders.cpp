// The library that carries the test programs' precompiled Qt headers has no code of its own.
