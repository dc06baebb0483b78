// The single-SELECT check's table of cases, shared by its own test and by the test that reads
// every accepted text through the ODBC driver.
#pragma once

namespace udb_qchk_cases {

struct check_case {
    const wchar_t* text;
    const wchar_t* fault; // empty: one SELECT
};

inline constexpr wchar_t lone_cr[] =
    L"it holds a \"--\" comment that a carriage return alone ends, which readers take "
    L"differently";

inline constexpr check_case cases[] = {
    // Legitimate texts.
    {L"SELECT id FROM customers", L""},
    {L"  select id from customers;", L""},
    {L"SELECT id FROM customers ;; \n-- done\n", L""},
    {L"WITH x AS (SELECT id FROM t) SELECT * FROM x", L""},
    {L"(SELECT 1) UNION ALL (SELECT 2)", L""},
    {L"SELECT 'a;b; DROP DATABASE victim' AS x", L""},
    {L"SELECT N'INSERT INTO t VALUES (1)' AS [Delete], \"Update\" FROM [Drop]", L""},
    {L"SELECT [a]]; DROP TABLE t] FROM t", L""},
    {L"SELECT 1 -- ; DELETE FROM t\n", L""},
    {L"SELECT 1 /* outer /* inner */ still comment; DROP TABLE t */", L""},
    {L"SELECT t.id FROM t WITH (NOLOCK) OPTION (MAXDOP 1, USE HINT('X'), MERGE JOIN)", L""},
    {L"SELECT a FROM t INNER MERGE JOIN u ON t.id = u.id OPTION (USE PLAN N'<x/>')", L""},
    {L"SELECT t.[set], t.delete, @set, #update.x, offset FROM t ORDER BY 1 OFFSET 1 ROWS "
     L"FETCH NEXT 2 ROWS ONLY",
     L""},
    {L"SELECT 1 AS sourced, 'it''s' AS q", L""},
    {L"SELECT 1.5e+3 AS a, 2E-2 b, 0x1F c, 0xABCDEFx, 12.d FROM t", L""},
    // Another statement, with or without ";".
    {L"SELECT 'a;b' AS x; DROP DATABASE victim", L"another statement follows its \";\""},
    {L"SELECT id FROM customers; DELETE FROM customers", L"another statement follows its \";\""},
    {L"SELECT 1; SELECT 2", L"another statement follows its \";\""},
    {L"SELECT id FROM t DELETE FROM t", L"it holds the keyword DELETE"},
    {L"SELECT id FROM t\nexec('drop table t')", L"it holds the keyword EXEC"},
    {L"select 1 Execute sp_who", L"it holds the keyword EXECUTE"},
    {L"WITH x AS (SELECT id FROM t) DELETE FROM x", L"it holds the keyword DELETE"},
    {L"WITH x AS (SELECT 1 AS a) MERGE t USING x ON 1=1 WHEN MATCHED THEN DELETE;",
     L"it holds the keyword MERGE"},
    {L"SELECT * INTO copy FROM t", L"it holds the keyword INTO"},
    {L"SELECT 1 waitfor delay '01:00:00'", L"it holds the keyword WAITFOR"},
    {L"SELECT 1 SET NOCOUNT ON", L"it holds the keyword SET"},
    {L"SELECT 1 USE master", L"it holds the keyword USE"},
    {L"SELECT 1 DECLARE @x int", L"it holds the keyword DECLARE"},
    {L"SELECT 1 SHUTDOWN WITH NOWAIT", L"it holds the keyword SHUTDOWN"},
    {L"SELECT 1 /* a */ GRANT CONTROL TO public", L"it holds the keyword GRANT"},
    {L"SELECT 1 \"x\"TRUNCATE TABLE t", L"it holds the keyword TRUNCATE"},
    {L"SELECT 1 [x]update t set a = 1", L"it holds the keyword UPDATE"},
    {L"SELECT t. DELETE FROM t", L"it holds the keyword DELETE"},
    {L"SELECT t./**/DROP TABLE t", L"it holds the keyword DROP"},
    {L"SELECT 1 -- comment\nINSERT t VALUES (1)", L"it holds the keyword INSERT"},
    {L"SELECT 1 /* /* */ */ ALTER LOGIN sa DISABLE", L"it holds the keyword ALTER"},
    {L"SELECT 1 BACKUP DATABASE d TO DISK = 'x'", L"it holds the keyword BACKUP"},
    // Statements without a reserved word of their own, escapes the ODBC driver would rewrite
    // into a call, and texts another server would run.
    {L"SELECT 1 ADD SIGNATURE TO dbo.p BY CERTIFICATE c", L"it holds the keyword ADD"},
    {L"SELECT 1 AS a DISABLE TRIGGER ALL ON DATABASE", L"it holds DISABLE TRIGGER"},
    {L"SELECT 1 AS a enable trigger t ON dbo.x", L"it holds ENABLE TRIGGER"},
    {L"SELECT 1 AS a RECEIVE TOP (1) * FROM dbo.q", L"it holds the keyword RECEIVE"},
    {L"SELECT NEXT VALUE FOR dbo.seq AS n", L"it holds NEXT VALUE FOR"},
    {L"SELECT v AS q FROM dbo.x {call sp_executesql(N'UPDATE dbo.x SET v=''pwned''')}",
     L"it holds \"{\", which the ODBC driver reads as an escape"},
    {L"SELECT {fn user()} AS u", L"it holds \"{\", which the ODBC driver reads as an escape"},
    {L"SELECT * FROM OPENQUERY(other, 'UPDATE t SET a = 1')", L"it holds the keyword OPENQUERY"},
    {L"SELECT * FROM OPENROWSET('SQLNCLI', 's', 'EXEC x')", L"it holds the keyword OPENROWSET"},
    {L"SELECT * FROM OPENDATASOURCE('SQLNCLI', 's').d.dbo.t",
     L"it holds the keyword OPENDATASOURCE"},
    {L"SELECT t.receive, t.[add], disable, enable, [next], '{' AS b, N'{call x}' FROM t", L""},
    // Readers differ on whether a carriage return alone ends a line comment: what follows it
    // would be code to one and comment to the other, whichever way it leans.
    {L"SELECT 1 --1\r; DROP DATABASE victim; SELECT 2", lone_cr},
    {L"SELECT 1 -- x\rDELETE FROM t", lone_cr},
    {L"SELECT 1 AS a --x\r, (SELECT User FROM mysql.user) AS leak", lone_cr},
    {L"SELECT 1 AS a --x\r", lone_cr},
    {L"SELECT 1 AS a --x\r\n, 2 AS b", L""},
    // A number ends where its digits end: what follows is read as a word.
    {L"SELECT 1DELETE FROM t", L"it holds the keyword DELETE"},
    {L"SELECT 0xUPDATE t SET a = 1", L"it holds the keyword UPDATE"},
    {L"SELECT 0x1FSHUTDOWN", L"it holds the keyword SHUTDOWN"},
    {L"SELECT 1.5e3EXEC sp_who", L"it holds the keyword EXEC"},
    // Only a word right after the "." is part of a qualified name, not one after a quoted name
    // or number that follows the ".".
    {L"SELECT t.[a]DELETE FROM t", L"it holds the keyword DELETE"},
    {L"SELECT t.\"a\"DELETE FROM t", L"it holds the keyword DELETE"},
    {L"SELECT a FROM t WHERE b = .5DELETE FROM t", L"it holds the keyword DELETE"},
    {L"SELECT 1EXEC sp_who", L"it holds the keyword EXEC"},
    // A Unicode blank ends a word as an ASCII blank does, whatever the process's locale: SQL
    // Server takes no such character into a name.
    {L"SELECT 1 AS a\u3000DELETE FROM t", L"it holds the keyword DELETE"},
    {L"SELECT 1 AS a\u00a0DROP TABLE t", L"it holds the keyword DROP"},
    {L"SELECT 1 AS a\u2028EXEC sp_who", L"it holds the keyword EXEC"},
    {L"SELECT N'\u3000DELETE' AS \u00e9t\u00e9", L""},
    // What the ODBC driver would rewrite before the text leaves: escapes and parameter markers
    // in code. In literals, names and comments (never sent) they are data.
    {L"SELECT 1 AS a /* /* */ *{x }/ EXEC xp_cmdshell 'id' /{x }* */", L""},
    {L"SELECT 1 AS a } FROM t",
     L"it holds \"}\", which the ODBC driver reads as the end of an escape"},
    {L"SELECT a FROM t WHERE b = ?",
     L"it holds \"?\", which the ODBC driver reads as a parameter marker"},
    {L"SELECT 'x{?}' AS [y{?}], \"{z}?\" /* ? { */ -- }\n FROM t", L""},
    // USE HINT and USE PLAN are hints inside OPTION (...) alone; elsewhere USE switches the
    // session's database, a quoted name included.
    {L"select id from dbo.t option (use hint ('FORCE_LEGACY_CARDINALITY_ESTIMATION'))", L""},
    {L"SELECT a FROM t OPTION (MAXDOP 1, USE HINT ('A', 'B'), USE PLAN N'<x/>')", L""},
    {L"SELECT id AS a FROM dbo.t USE HINT", L"it holds the keyword USE"},
    {L"SELECT id AS a FROM dbo.t USE [HINT]", L"it holds the keyword USE"},
    {L"SELECT a FROM t OPTION (MAXDOP 1) USE PLAN", L"it holds the keyword USE"},
    {L"SELECT a FROM (SELECT 1 AS a) AS x(a) USE HINT", L"it holds the keyword USE"},
    {L"SELECT a FROM t WHERE a IN (SELECT (b) FROM u OPTION (MAXDOP 1)) USE HINT",
     L"it holds the keyword USE"},
    {L"SELECT 1 AS a OPTION USE HINT", L"it holds the keyword USE"},
    // Service Broker statements, whose first words are not reserved.
    {L"SELECT 1 AS a END CONVERSATION @h", L"it holds END CONVERSATION"},
    {L"SELECT 1 AS a send on conversation @h (0x01)", L"it holds SEND ON CONVERSATION"},
    {L"SELECT 1 AS a MOVE CONVERSATION @h TO @g", L"it holds MOVE CONVERSATION"},
    {L"SELECT 1 AS a GET CONVERSATION GROUP @g FROM dbo.q", L"it holds GET CONVERSATION GROUP"},
    {L"SELECT 1 AS a BEGIN DIALOG @h FROM SERVICE s TO SERVICE 't'", L"it holds the keyword BEGIN"},
    {L"SELECT 1 AS a BEGIN CONVERSATION TIMER (@h) TIMEOUT = 1", L"it holds the keyword BEGIN"},
    {L"SELECT CASE WHEN a = 1 THEN 1 END AS conversation, send, move, get, [end] FROM t", L""},
    // Keywords with a lower-case i, which a locale's letter case may turn into another letter.
    {L"SELECT id FROM dbo.t insert into dbo.t (id, v) values (2, 'pwned')",
     L"it holds the keyword INSERT"},
    {L"select id into dbo.pwned from dbo.t", L"it holds the keyword INTO"},
    {L"with x as (select 1 as a) select a from x", L""},
    {L"SELECT 1 AS a print 'x'", L"it holds the keyword PRINT"},
    {L"SELECT 1 AS a kill 52", L"it holds the keyword KILL"},
    {L"SELECT 1 AS a commit", L"it holds the keyword COMMIT"},
    {L"SELECT 1 AS a waitfor delay '1:00'", L"it holds the keyword WAITFOR"},
    {L"SELECT 1 AS a while 1 = 1 select 2", L"it holds the keyword WHILE"},
    {L"SELECT 1 AS a if 1 = 1 select 2", L"it holds the keyword IF"},
    {L"SELECT 1 AS a disable trigger all on database", L"it holds DISABLE TRIGGER"},
    // A dotless or dotted i is no ASCII letter: SQL Server reads such a word as a name.
    {L"SELECT 1 AS a \u0131nsert", L""},
    {L"SELECT 1 AS \u0130F", L""},
    // Not a SELECT at all, or text SQL Server does not read to its end.
    {L"EXEC sp_who", L"it does not begin with SELECT or WITH"},
    {L"DBCC CHECKDB", L"it does not begin with SELECT or WITH"},
    {L"", L"it does not begin with SELECT or WITH"},
    {L"-- SELECT\n", L"it does not begin with SELECT or WITH"},
    {L"SELECT 'open", L"it holds an unclosed literal"},
    {L"SELECT [open", L"it holds an unclosed quoted name"},
    {L"SELECT 1 /* /* */ DROP TABLE t", L"it holds an unclosed comment"},
    {L"SELECT 1 AS a ]', (SELECT 2) AS b, ]'", L"it holds a \"]\" that closes no name"},
    {L"SELECT `a` FROM t", L"it holds a \"`\", which MySQL reads as the quote of a name"},
};

} // namespace udb_qchk_cases
