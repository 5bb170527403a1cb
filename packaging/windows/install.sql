-- Registers the extended procedure xp_Varnel in master and lets one database role run it.
-- Run it as a member of sysadmin once xp_varnel.dll is in the server's Binn directory:
--   sqlcmd -b -S <server> -E -v VarnelRole=VarnelSenders -i install.sql
-- (in SQL Server Management Studio: Query > SQLCMD Mode, and uncomment the :setvar line).
-- VarnelRole names the role in master whose members may send mail; it is created when
-- missing. Running the script again changes nothing that is already in place.
-- Any error stops the script at once: nothing after it runs, sqlcmd -b exits non-zero.
:on error exit
-- :setvar VarnelRole VarnelSenders

use master;
go

-- The role name is checked before anything changes.
declare @role sysname = N'$(VarnelRole)';
if @role is null or ltrim(rtrim(@role)) = N''
  throw 50001, N'VarnelRole is empty: give the role with -v VarnelRole=<name>.', 1;
if exists (select 1 from sys.database_principals where name = @role and type <> 'R')
  throw 50002, N'VarnelRole names a principal in master that is not a database role.', 1;
go

if not exists (select 1 from sys.extended_procedures where name = N'xp_Varnel')
begin
  declare @result int;
  exec @result = sp_addextendedproc N'xp_Varnel', N'xp_varnel.dll';
  if @result <> 0 or not exists (select 1 from sys.extended_procedures where name = N'xp_Varnel')
    throw 50003, N'sp_addextendedproc did not register xp_Varnel.', 1;
end
else
  print N'xp_Varnel was already registered.';
go

declare @role sysname = N'$(VarnelRole)';
if database_principal_id(@role) is null
  exec (N'create role ' + quotename(@role) + N';');
exec (N'grant execute on object::dbo.xp_Varnel to ' + quotename(@role) + N';');
go

-- Reached only when every step above succeeded.
print N'xp_Varnel is registered; members of ' + quotename(N'$(VarnelRole)') + N' in master may run it.';
go

-- Callers outside sysadmin need a user in master in that role, for example:
--   create user [CONTOSO\ReportJobs] for login [CONTOSO\ReportJobs];
--   alter role [VarnelSenders] add member [CONTOSO\ReportJobs];
-- A first test (any relay that accepts mail from this server):
--   exec master.dbo.xp_Varnel @recipient = 'dba@example.com', @from = 'sqlserver@example.com',
--        @address = 'smtp.example.com', @subject = 'Varnel works', @body = 'Sent by xp_Varnel.';
