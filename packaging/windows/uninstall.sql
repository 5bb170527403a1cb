-- Removes xp_Varnel from master and unloads xp_varnel.dll from the server process, so that
-- the file can be deleted or replaced by a newer one. Run it as a member of sysadmin:
--   sqlcmd -b -S <server> -E -i uninstall.sql
-- Any error stops the script at once; running it again changes nothing.
:on error exit

use master;
go

if exists (select 1 from sys.extended_procedures where name = N'xp_Varnel')
begin
  declare @result int;
  exec @result = sp_dropextendedproc N'xp_Varnel';
  if @result <> 0 or exists (select 1 from sys.extended_procedures where name = N'xp_Varnel')
    throw 50004, N'sp_dropextendedproc did not remove xp_Varnel.', 1;
end
else
  print N'xp_Varnel was not registered.';
go

-- The server keeps a loaded extended-procedure DLL until it is told to free it.
dbcc xp_varnel(free);
go

print N'xp_Varnel is removed and xp_varnel.dll unloaded.';
go

-- The role that install.sql made stays, as other grants may use it. Once it has no members:
--   drop role [VarnelSenders];
