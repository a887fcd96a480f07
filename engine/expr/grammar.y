/* The grammar of dBASE expressions with its precedence table. Bison generates a pure LALR(1)
   parser from it at build time; the hand-written lexer and the code generator are in
   compiler.cpp. Every reduction emits the cells of its construct, so the program comes out
   in post-order: operands first, then the operation. */

%require "3.8"
%define api.pure full
%define parse.error custom
%define api.value.type {vx::expr::Semantic}
%param {vx::expr::Compiler& c}

%code requires {
#include "engine/expr/compiler.h"
}

%code {
/* The state and value stacks hold at most 150 entries and never grow: deeper nesting is a
   parser stack overflow. */
#define YYINITDEPTH 150
#define YYMAXDEPTH 150
#define YYSTACK_USE_ALLOCA 0

namespace {
using vx::expr::Compiler;
int yylex(YYSTYPE* value, Compiler& c);
void yyerror(Compiler& c, const char* message);
}  // namespace
}

/* Token numbers are those of the compiled cells; the function and field groups are ours. */
%token STRING 331 NUMBER 332 UNKNOWN 336 FALSE 337 TRUE 338
%token NOT 339 OR 340 AND 341 NE 342 LE 343 GE 344 EQEQ 345 CONTAINS 346
%token FIELD 400 MEMO 401
%token FUNC0 410 FUNC1 411 FUNC2 412 FUNC3 413 FUNC4 414 STRFN 415

%left OR
%left AND
%left '=' NE
%left EQEQ CONTAINS
%left '<' '>' LE GE
%left '+' '-'
%left '*' '/'
%left '^'
%precedence PREFIX

%%

input:
  expr                { c.EmitEnd($1.type); $$ = $1; }
;

expr:
  expr OR expr        { if (!c.EmitInfix(OR, $1.type, $3.type, $$.type)) YYABORT; }
| expr AND expr       { if (!c.EmitInfix(AND, $1.type, $3.type, $$.type)) YYABORT; }
| expr '=' expr       { if (!c.EmitInfix('=', $1.type, $3.type, $$.type)) YYABORT; }
| expr NE expr        { if (!c.EmitInfix(NE, $1.type, $3.type, $$.type)) YYABORT; }
| expr EQEQ expr      { if (!c.EmitInfix(EQEQ, $1.type, $3.type, $$.type)) YYABORT; }
| expr CONTAINS expr  { if (!c.EmitInfix(CONTAINS, $1.type, $3.type, $$.type)) YYABORT; }
| expr '<' expr       { if (!c.EmitInfix('<', $1.type, $3.type, $$.type)) YYABORT; }
| expr '>' expr       { if (!c.EmitInfix('>', $1.type, $3.type, $$.type)) YYABORT; }
| expr LE expr        { if (!c.EmitInfix(LE, $1.type, $3.type, $$.type)) YYABORT; }
| expr GE expr        { if (!c.EmitInfix(GE, $1.type, $3.type, $$.type)) YYABORT; }
| expr '+' expr       { if (!c.EmitInfix('+', $1.type, $3.type, $$.type)) YYABORT; }
| expr '-' expr       { if (!c.EmitInfix('-', $1.type, $3.type, $$.type)) YYABORT; }
| expr '*' expr       { if (!c.EmitInfix('*', $1.type, $3.type, $$.type)) YYABORT; }
| expr '/' expr       { if (!c.EmitInfix('/', $1.type, $3.type, $$.type)) YYABORT; }
| expr '^' expr       { if (!c.EmitInfix('^', $1.type, $3.type, $$.type)) YYABORT; }
| '-' expr %prec PREFIX  { if (!c.EmitPrefix('-', $2.type, $$.type)) YYABORT; }
| '+' expr %prec PREFIX  { if (!c.EmitPrefix('+', $2.type, $$.type)) YYABORT; }
| NOT expr %prec PREFIX  { if (!c.EmitPrefix(NOT, $2.type, $$.type)) YYABORT; }
| primary             { $$ = $1; }
;

primary:
  '(' expr ')'        { $$ = $2; }
| STRING              { c.EmitString($1); $$.type = vx::kTypeC; }
| NUMBER              { c.EmitNumber($1.number); $$.type = vx::kTypeN; }
| TRUE                { c.EmitLogical(true); $$.type = vx::kTypeL; }
| FALSE               { c.EmitLogical(false); $$.type = vx::kTypeL; }
| MEMO                { c.EmitField($1); $$.type = vx::kTypeM; }
| FIELD               { c.EmitField($1); $$.type = $1.type; }
| call                { $$ = $1; }
;

call:
  FUNC0 '(' ')'
    { if (!c.EmitCall($1.code, nullptr, 0, $$.type)) YYABORT; }
| FUNC1 '(' expr ')'
    { const std::int32_t a[] = {$3.type};
      if (!c.EmitCall($1.code, a, 1, $$.type)) YYABORT; }
| FUNC2 '(' expr ',' expr ')'
    { const std::int32_t a[] = {$3.type, $5.type};
      if (!c.EmitCall($1.code, a, 2, $$.type)) YYABORT; }
| FUNC3 '(' expr ',' expr ',' expr ')'
    { const std::int32_t a[] = {$3.type, $5.type, $7.type};
      if (!c.EmitCall($1.code, a, 3, $$.type)) YYABORT; }
| FUNC4 '(' expr ',' expr ',' expr ',' expr ')'
    { const std::int32_t a[] = {$3.type, $5.type, $7.type, $9.type};
      if (!c.EmitCall($1.code, a, 4, $$.type)) YYABORT; }
| STRFN '(' expr ')'
    { const std::int32_t a[] = {$3.type};
      if (!c.EmitCall($1.code, a, 1, $$.type)) YYABORT; }
| STRFN '(' expr ',' expr ')'
    { const std::int32_t a[] = {$3.type, $5.type};
      if (!c.EmitCall($1.code, a, 2, $$.type)) YYABORT; }
| STRFN '(' expr ',' expr ',' expr ')'
    { const std::int32_t a[] = {$3.type, $5.type, $7.type};
      if (!c.EmitCall($1.code, a, 3, $$.type)) YYABORT; }
;

%%

namespace {

// Maps the lexer's tokens onto the grammar's: function names by their argument count, fields
// by whether they are memo fields.
int yylex(YYSTYPE* value, Compiler& c) {
  const int token = c.Lex(*value);
  using namespace vx::expr;
  if (token >= 257 && token <= 320) {
    switch (token) {
      case kDate: case kDeleted: case kRecno:
        return FUNC0;
      case kAt: case kLeft: case kMax: case kMin: case kMod: case kReplicate: case kRight:
      case kRound:
        return FUNC2;
      case kIif: case kSubstr:
        return FUNC3;
      case kStuff:
        return FUNC4;
      case kStr:
        return STRFN;
      default:
        return FUNC1;
    }
  }
  if (token >= 321 && token <= 330) {
    return (token == kFieldM || token == kAliasFieldM) ? MEMO : FIELD;
  }
  return token;
}

// Bison reports an exhausted stack here (syntax errors go to yyreport_syntax_error).
void yyerror(Compiler& c, const char*) { c.Fail("Parser_stack_overflow"); }

}  // namespace

// A complete expression followed by more input is told apart from other syntax errors: the
// end of the input is among the tokens the parser expected there.
static int yyreport_syntax_error(const yypcontext_t* context, Compiler& c) {
  yysymbol_kind_t expected[YYNTOKENS];
  const int n = yypcontext_expected_tokens(context, expected, YYNTOKENS);
  bool end_expected = false;
  for (int i = 0; i < n; ++i) end_expected = end_expected || expected[i] == YYSYMBOL_YYEOF;
  c.Fail(end_expected ? "Parser_stack_overflow" : "Syntax error");
  return 0;
}

bool vx::expr::Parse(Compiler& compiler) { return yyparse(compiler) == 0 && !compiler.failed(); }
