-- Registers the extended procedure xp_Varnel in master and lets one role run it.
-- Run it as a member of sysadmin once xp_varnel.dll is in the server's Binn directory,
-- in SQL Server Management Studio or with: sqlcmd -S <server> -E -i install.sql
use master;
go

-- The database role in master whose members may send mail; created when missing.
declare @role sysname = N'VarnelSenders';

if not exists (select 1 from sys.extended_procedures where name = N'xp_Varnel')
  exec sp_addextendedproc N'xp_Varnel', N'xp_varnel.dll';
else
  print N'xp_Varnel was already registered.';

if database_principal_id(@role) is null
  exec (N'create role ' + quotename(@role) + N';');
exec (N'grant execute on xp_Varnel to ' + quotename(@role) + N';');
print N'xp_Varnel is registered; members of ' + quotename(@role) + N' in master may run it.';
go

-- Callers outside sysadmin need a user in master in that role, for example:
--   create user [CONTOSO\ReportJobs] for login [CONTOSO\ReportJobs];
--   alter role [VarnelSenders] add member [CONTOSO\ReportJobs];
-- A first test (any relay that accepts mail from this server):
--   exec master.dbo.xp_Varnel @recipient = 'dba@example.com', @from = 'sqlserver@example.com',
--        @address = 'smtp.example.com', @subject = 'Varnel works', @body = 'Sent by xp_Varnel.';
