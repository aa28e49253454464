///////////////////////////////////////////////////
// Sample.
///////////////////////////////////////////////////

class Sample extends Actor;

#exec MESH IMPORT MESH=Sample ANIVFILE=MODELS\Sample_a.3d DATAFILE=MODELS\Sample_d.3d X=0 Y=0 Z=0
#exec MESH ORIGIN MESH=Sample X=0 Y=0 Z=0

#exec MESH SEQUENCE MESH=Sample SEQ=All STARTFRAME=0 NUMFRAMES=48
// add further '#exec MESH SEQUENCE' lines here to define additional animation sections

#exec MESHMAP NEW MESHMAP=Sample MESH=Sample


//Edit X, Y, and Z values in line below to change size of mesh in game
#exec MESHMAP SCALE MESHMAP=Sample X=0.008235 Y=0.008235 Z=0.008235

#exec TEXTURE IMPORT NAME=SampleTex0 FILE=textures\SampleBody.bmp GROUP=Skins FLAGS=2
#exec MESHMAP SETTEXTURE MESHMAP=Sample NUM=0 TEXTURE=SampleTex0

#exec TEXTURE IMPORT NAME=SampleTex1 FILE=textures\SampleArm.bmp GROUP=Skins FLAGS=2
#exec MESHMAP SETTEXTURE MESHMAP=Sample NUM=1 TEXTURE=SampleTex1

#exec TEXTURE IMPORT NAME=SampleTex2 FILE=textures\SampleArm.bmp GROUP=Skins FLAGS=2
#exec MESHMAP SETTEXTURE MESHMAP=Sample NUM=2 TEXTURE=SampleTex2


defaultproperties
{
    DrawType=DT_Mesh
    Mesh=Sample
}
