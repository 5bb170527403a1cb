-- Removes xp_Varnel from master and unloads xp_varnel.dll from the server process, so that
-- the file can be deleted or replaced by a newer one. Run it as a member of sysadmin.
use master;
go

if exists (select 1 from sys.extended_procedures where name = N'xp_Varnel')
  exec sp_dropextendedproc N'xp_Varnel';
else
  print N'xp_Varnel was not registered.';
go

-- The server keeps a loaded extended-procedure DLL until it is told to free it.
dbcc xp_varnel(free);
go

-- The role that install.sql made stays, as other grants may use it. Once it has no members:
--   drop role [VarnelSenders];
