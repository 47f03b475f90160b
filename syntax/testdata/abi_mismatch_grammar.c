/* A grammar module whose language handle declares an ABI version no runtime
   accepts: the pool must report the runtime's refusal as a load failure. */
static const unsigned int LANGUAGE[64] = {99};

const void *tree_sitter_python(void) { return LANGUAGE; }
