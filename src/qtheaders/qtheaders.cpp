// The library that carries the precompiled Qt headers has no code of its own.
