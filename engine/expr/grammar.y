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
#include <cstring>
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

/* Token numbers are those of the compiled cells; the function, field and date-literal groups
   are ours. */
%token STRING 331 NUMBER 332 UNKNOWN 336 FALSE 337 TRUE 338
%token NOT 339 OR 340 AND 341 NE 342 LE 343 GE 344 EQEQ 345 CONTAINS 346
%token FIELD 400 MEMO 401
%token FUNC 410 DATELIT 402

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
  expr                { c.EmitEnd($1); $$ = $1; }
;

expr:
  expr OR expr        { if (!c.EmitInfix(OR, $1, $3, $$)) YYABORT; }
| expr AND expr       { if (!c.EmitInfix(AND, $1, $3, $$)) YYABORT; }
| expr '=' expr       { if (!c.EmitInfix('=', $1, $3, $$)) YYABORT; }
| expr NE expr        { if (!c.EmitInfix(NE, $1, $3, $$)) YYABORT; }
| expr EQEQ expr      { if (!c.EmitInfix(EQEQ, $1, $3, $$)) YYABORT; }
| expr CONTAINS expr  { if (!c.EmitInfix(CONTAINS, $1, $3, $$)) YYABORT; }
| expr '<' expr       { if (!c.EmitInfix('<', $1, $3, $$)) YYABORT; }
| expr '>' expr       { if (!c.EmitInfix('>', $1, $3, $$)) YYABORT; }
| expr LE expr        { if (!c.EmitInfix(LE, $1, $3, $$)) YYABORT; }
| expr GE expr        { if (!c.EmitInfix(GE, $1, $3, $$)) YYABORT; }
| expr '+' expr       { if (!c.EmitInfix('+', $1, $3, $$)) YYABORT; }
| expr '-' expr       { if (!c.EmitInfix('-', $1, $3, $$)) YYABORT; }
| expr '*' expr       { if (!c.EmitInfix('*', $1, $3, $$)) YYABORT; }
| expr '/' expr       { if (!c.EmitInfix('/', $1, $3, $$)) YYABORT; }
| expr '^' expr       { if (!c.EmitInfix('^', $1, $3, $$)) YYABORT; }
| '-' expr %prec PREFIX  { if (!c.EmitPrefix('-', $2, $$)) YYABORT; }
| '+' expr %prec PREFIX  { if (!c.EmitPrefix('+', $2, $$)) YYABORT; }
| NOT expr %prec PREFIX  { if (!c.EmitPrefix(NOT, $2, $$)) YYABORT; }
| primary             { $$ = $1; }
;

primary:
  '(' expr ')'        { $$ = $2; }
| STRING              { c.EmitString($1); $$ = $1; $$.type = vx::kTypeC; }
| NUMBER              { c.EmitNumber($1); $$ = $1; $$.type = vx::kTypeN; }
| DATELIT             { c.EmitDate($1.number); $$.type = vx::kTypeD; $$.width = 8; }
| TRUE                { c.EmitLogical(true); $$.type = vx::kTypeL; $$.width = 1; }
| FALSE               { c.EmitLogical(false); $$.type = vx::kTypeL; $$.width = 1; }
| MEMO                { c.EmitField($1); $$ = $1; $$.type = vx::kTypeM; }
| FIELD               { c.EmitField($1); $$ = $1; }
| call                { $$ = $1; }
;

call:
  FUNC '(' ')'        { if (!c.EmitCall($1, 0, $$)) YYABORT; }
| FUNC '(' args ')'   { if (!c.EmitCall($1, $3.code, $$)) YYABORT; }
;

/* The arguments wait on the compiler's argument stack until their call is reduced; the
   symbol's code counts them. */
args:
  expr                { c.PushArgument($1); $$.code = 1; }
| args ',' expr       { c.PushArgument($3); $$.code = $1.code + 1; }
;

%%

namespace {

// Maps the lexer's tokens onto the grammar's: every function name is FUNC (the compiler checks
// its arguments against its signatures), fields by whether they are memo fields.
int yylex(YYSTYPE* value, Compiler& c) {
  const int token = c.Lex(*value);
  using namespace vx::expr;
  if (IsFunctionToken(token)) return FUNC;
  if (token >= 321 && token <= 330) {
    return (token == kFieldM || token == kAliasFieldM) ? MEMO : FIELD;
  }
  if (token == kTokDate) return DATELIT;
  return token;
}

// Bison reports an exhausted stack here (syntax errors go to yyreport_syntax_error).
void yyerror(Compiler& c, const char*) {
  c.Fail("Parser_stack_overflow: the expression nests too deeply");
}

}  // namespace

// Syntax errors are told in words from the token the parser stood on and the tokens it
// expected there; a complete expression followed by more input keeps its own name.
static int yyreport_syntax_error(const yypcontext_t* context, Compiler& c) {
  yysymbol_kind_t expected[YYNTOKENS];
  const int n = yypcontext_expected_tokens(context, expected, YYNTOKENS);
  vx::expr::Expected wanted;
  for (int i = 0; i < n; ++i) {
    wanted.end = wanted.end || expected[i] == YYSYMBOL_YYEOF;
    wanted.close = wanted.close || std::strcmp(yysymbol_name(expected[i]), "')'") == 0;
  }
  c.FailSyntax(yypcontext_token(context) == YYSYMBOL_YYEOF, wanted);
  return 0;
}

bool vx::expr::Parse(Compiler& compiler) { return yyparse(compiler) == 0 && !compiler.failed(); }
