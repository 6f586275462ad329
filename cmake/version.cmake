# The program's version, the one place it is set: --version prints it and the map file names it.
set(COPYVOTE_VERSION 0.1.0)
