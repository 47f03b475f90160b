// Syntax extraction: the curated tree-sitter grammar provider (language tables,
// per-worker parser pool, grammar identity) and the extraction of named
// declarations with stable ids, spans and qualified names.
//
// Tables and pure functions may be used from any thread; a ParserPool and the
// parse trees it returns belong to one worker. See each header for its contract.
#pragma once

#include "syntax/extract.h"
#include "syntax/languages.h"
#include "syntax/parse_tree.h"
#include "syntax/parser_pool.h"
#include "syntax/records.h"
